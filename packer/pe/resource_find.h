#pragma once
// Reads one resource out of an image file, for `zelmor-pack --list` and tests.
#include <stdint.h>

#include <string>
#include <vector>

// Copies the data of the resource with integer `type` and `id` from the
// PE32+ image in `image`. Fails with `error` set when the image is
// malformed, has no such resource, or has it in more than one language:
// Windows picks among those by the user's language, so which one a program
// reads depends on where it runs.
bool findResource(const std::vector<uint8_t> &image, uint16_t type, uint16_t id, std::vector<uint8_t> &data,
                  std::string &error);
