// The read-only store of network configuration that the broadcast addresses are worked out
// from: the registry under HKEY_LOCAL_MACHINE on Windows, and an in-memory store in its layout
// elsewhere and in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// An open key of the store. Destroying it closes it.
class ConfigKey {
 public:
  ConfigKey() = default;
  virtual ~ConfigKey() = default;
  ConfigKey(const ConfigKey&) = delete;
  ConfigKey& operator=(const ConfigKey&) = delete;

  // Name of the subkey at index (from 0). False at the end of the list or on any error.
  virtual bool SubkeyName(std::uint32_t index, std::string* name) = 0;
  // Opens a direct subkey for reading its values; null when it does not open.
  virtual std::unique_ptr<ConfigKey> OpenSubkey(const std::string& name) = 0;
  // Copies the raw data of a value into buf, whose capacity is *size bytes, and sets *size to the
  // data's length. False, with buf untouched, when the value is absent or longer than the buffer.
  virtual bool QueryValue(const std::string& name, std::uint8_t* buf, std::size_t* size) = 0;
};

// The read-only store of network configuration under the local-machine root.
class NetworkConfigStore {
 public:
  NetworkConfigStore() = default;
  virtual ~NetworkConfigStore() = default;
  NetworkConfigStore(const NetworkConfigStore&) = delete;
  NetworkConfigStore& operator=(const NetworkConfigStore&) = delete;

  // Opens a key by its backslash-separated path; null when it does not open.
  virtual std::unique_ptr<ConfigKey> OpenKey(const std::string& path) = 0;
};

// A store held in memory: keys form a tree, subkeys are listed in the order they were added,
// values are raw bytes (a text value carries its terminator, as the registry stores it). The
// keys it hands out point into the store, which must outlive them.
class MemoryConfigStore final : public NetworkConfigStore {
 public:
  MemoryConfigStore();
  ~MemoryConfigStore() override;

  // Creates the key and any missing key on its path.
  void AddKey(const std::string& path);
  // Creates the key if needed and sets (or replaces) a value.
  void SetValue(const std::string& path, const std::string& name, std::vector<std::uint8_t> data);
  // A text value: the characters and one terminator.
  void SetText(const std::string& path, const std::string& name, std::string_view text);
  // A list of texts: each with its terminator, then one more terminator.
  void SetTextList(const std::string& path, const std::string& name,
                   const std::vector<std::string>& texts);
  // Creates the key if needed; it stays listed by its parent but refuses to open.
  void SetUnopenable(const std::string& path);
  // Whether a direct subkey of path has this name.
  bool HasSubkey(const std::string& path, const std::string& name) const;

  std::unique_ptr<ConfigKey> OpenKey(const std::string& path) override;

 private:
  struct Node {
    std::string name;
    bool openable = true;
    std::map<std::string, std::vector<std::uint8_t>> values;
    std::vector<std::unique_ptr<Node>> children;
  };
  class Key;

  static Node* ChildNamed(const Node& node, const std::string& name);
  Node* Find(const std::string& path) const;
  Node* FindOrCreate(const std::string& path);

  std::unique_ptr<Node> m_root;
};

}  // namespace quillon
