// What the dialog and the command line share beyond the Start procedure: turning options into
// the session's inputs, and the port listing.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/cli_options.h"
#include "link/datagram_socket.h"
#include "link/link.h"
#include "link/system_platform.h"
#include "program/version.h"
#include "search/device_search.h"

namespace quillon {

// --port replaces the platform's port table.
void ApplyPortOptions(SystemPlatform& platform, const CliOptions& options);
// Why a --port path cannot be searched at all (a usage error), or empty.
std::string NamedPortsProblem(const CliOptions& options);
// The link socket, or none with --no-udp; *failure tells why when it could not be made.
std::unique_ptr<DatagramSocket> MakeLinkSocket(const CliOptions& options,
                                               std::string* failure = nullptr);
// The search's options; the networks it leaves out are noted through the hooks' note.
SearchOptions MakeSearchOptions(const CliOptions& options, const LinkHooks* hooks = nullptr);
// The local broadcast addresses as dotted texts; with hooks, the networks left out are noted.
std::vector<std::string> LocalBroadcastTargets(const LinkHooks* hooks = nullptr);
// The platform's port table with the state of each port, and the broadcast addresses.
std::string DescribePortsAndNetworks(const CliOptions& options, SystemPlatform& platform);

}  // namespace quillon
