#include "search/config_store.h"

#include <algorithm>
#include <utility>

namespace quillon {

// The in-memory store.

class MemoryConfigStore::Key final : public ConfigKey {
 public:
  explicit Key(const Node* node) : m_node(node) {}

  bool SubkeyName(std::uint32_t index, std::string* name) override {
    if (index >= m_node->children.size()) return false;
    *name = m_node->children[index]->name;
    return true;
  }

  std::unique_ptr<ConfigKey> OpenSubkey(const std::string& name) override {
    for (const auto& child : m_node->children) {
      if (child->name == name)
        return child->openable ? std::make_unique<Key>(child.get()) : nullptr;
    }
    return nullptr;
  }

  bool QueryValue(const std::string& name, std::uint8_t* buf, std::size_t* size) override {
    const auto it = m_node->values.find(name);
    if (it == m_node->values.end() || it->second.size() > *size) return false;
    std::copy(it->second.begin(), it->second.end(), buf);
    *size = it->second.size();
    return true;
  }

 private:
  const Node* m_node;
};

namespace {

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

MemoryConfigStore::MemoryConfigStore() : m_root(std::make_unique<Node>()) {}
MemoryConfigStore::~MemoryConfigStore() = default;

MemoryConfigStore::Node* MemoryConfigStore::ChildNamed(const Node& node, const std::string& name) {
  for (const auto& child : node.children) {
    if (child->name == name) return child.get();
  }
  return nullptr;
}

MemoryConfigStore::Node* MemoryConfigStore::Find(const std::string& path) const {
  Node* node = m_root.get();
  for (const std::string& part : SplitPath(path)) {
    node = ChildNamed(*node, part);
    if (!node) return nullptr;
  }
  return node;
}

MemoryConfigStore::Node* MemoryConfigStore::FindOrCreate(const std::string& path) {
  Node* node = m_root.get();
  for (const std::string& part : SplitPath(path)) {
    Node* next = ChildNamed(*node, part);
    if (!next) {
      node->children.push_back(std::make_unique<Node>());
      next = node->children.back().get();
      next->name = part;
    }
    node = next;
  }
  return node;
}

void MemoryConfigStore::AddKey(const std::string& path) {
  FindOrCreate(path);
}

void MemoryConfigStore::SetValue(const std::string& path, const std::string& name,
                                 std::vector<std::uint8_t> data) {
  FindOrCreate(path)->values[name] = std::move(data);
}

void MemoryConfigStore::SetText(const std::string& path, const std::string& name,
                                std::string_view text) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  SetValue(path, name, std::move(data));
}

void MemoryConfigStore::SetTextList(const std::string& path, const std::string& name,
                                    const std::vector<std::string>& texts) {
  std::vector<std::uint8_t> data;
  for (const std::string& text : texts) {
    data.insert(data.end(), text.begin(), text.end());
    data.push_back(0);
  }
  data.push_back(0);
  SetValue(path, name, std::move(data));
}

void MemoryConfigStore::SetUnopenable(const std::string& path) {
  FindOrCreate(path)->openable = false;
}

bool MemoryConfigStore::HasSubkey(const std::string& path, const std::string& name) const {
  const Node* node = Find(path);
  if (!node) return false;
  return std::any_of(node->children.begin(), node->children.end(),
                     [&](const auto& child) { return child->name == name; });
}

std::unique_ptr<ConfigKey> MemoryConfigStore::OpenKey(const std::string& path) {
  const Node* node = Find(path);
  if (!node || !node->openable) return nullptr;
  return std::make_unique<Key>(node);
}

}  // namespace quillon
