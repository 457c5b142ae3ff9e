#include "packer/pe/resource_find.h"

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
    std::string what = "resource of type " + std::to_string(type) + " with id " + std::to_string(id);
    if (!name || name->languages.empty()) {
        error = "no " + what;
        return false;
    }
    if (name->languages.size() > 1) {
        std::string languages;
        for (const ResourceLanguage &language : name->languages) {
            languages += (languages.empty() ? "" : ", ") + hexNumber(language.language);
        }
        error = "the " + what + " exists in " + std::to_string(name->languages.size()) + " languages (" + languages +
                "); Windows picks one by the user's language, so what runs may differ from what is read here";
        return false;
    }
    data = std::move(name->languages[0].data);
    return true;
}
