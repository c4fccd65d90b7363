#include "protocol/tree_digest.h"

namespace kestrova::protocol {

TreeDigest::TreeDigest(std::string_view bundle_name, unsigned mode) {
    digest_.update(std::string(bundle_name) + std::string("\0d", 2) + std::to_string(mode & 07777));
}

void TreeDigest::add_link(std::string_view path, unsigned mode, std::string_view target) {
    describe(path, 'l', mode, target.size());
    digest_.update(target);
}

void TreeDigest::describe(std::string_view path, char type, unsigned mode, std::uint64_t size) {
    digest_.update(path);
    digest_.update(std::string(1, '\0') + type + std::to_string(mode & 07777) + ":" + std::to_string(size) +
                   std::string(1, '\0'));
}

}  // namespace kestrova::protocol
