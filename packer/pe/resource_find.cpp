#include "packer/pe/resource_find.h"

#include <algorithm>

#include "packer/pe/pe_image.h"
#include "packer/pe/resource_tree.h"

bool findResource(const std::vector<uint8_t> &image, uint16_t type, uint16_t id, std::vector<uint8_t> &data,
                  std::string &error) {
    PeImage headers;
    ResourceTree tree;
    if (!parsePeImage(image, headers, error) || !parseResourceTree(image, headers, tree, error)) {
        return false;
    }
    ResourceType *found = findType(tree, integerId(type));
    ResourceName *name = found ? findName(*found, integerId(id)) : nullptr;
    if (!name || name->languages.empty()) {
        error = "no resource of type " + std::to_string(type) + " with id " + std::to_string(id);
        return false;
    }
    auto lowest = std::min_element(
        name->languages.begin(), name->languages.end(),
        [](const ResourceLanguage &a, const ResourceLanguage &b) { return a.language < b.language; });
    data = std::move(lowest->data);
    return true;
}
