/* Whether this host can run a KVM guest, asked of /dev/kvm in a few milliseconds instead of by
 * booting one: the API version KVM has had since Linux 2.6.22, and a virtual machine made and
 * dropped again. Exit status 0 when both work, else 1 with the reason on standard error. */
#include <errno.h>
#include <fcntl.h>
#include <linux/kvm.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(void) {
  const int kvm = open("/dev/kvm", O_RDWR | O_CLOEXEC);
  if (kvm < 0) {
    fprintf(stderr, "/dev/kvm: %s\n", strerror(errno));
    return 1;
  }
  const int version = ioctl(kvm, KVM_GET_API_VERSION, 0);
  if (version != KVM_API_VERSION) {
    fprintf(stderr, "KVM_GET_API_VERSION: %d (%s), not %d\n", version,
            version < 0 ? strerror(errno) : "another API", KVM_API_VERSION);
    close(kvm);
    return 1;
  }
  const int vm = ioctl(kvm, KVM_CREATE_VM, 0);
  if (vm < 0) {
    fprintf(stderr, "KVM_CREATE_VM: %s\n", strerror(errno));
    close(kvm);
    return 1;
  }
  close(vm);
  close(kvm);
  return 0;
}
