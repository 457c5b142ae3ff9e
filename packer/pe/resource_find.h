#pragma once
// Reads one resource out of an image file, for `zelmor-pack --list` and tests.
#include <stdint.h>

#include <string>
#include <vector>

// Copies the data of the resource with integer `type` and `id` (its lowest
// language when it has several) from the PE32+ image in `image`. Fails with
// `error` set when the image is malformed or has no such resource.
bool findResource(const std::vector<uint8_t> &image, uint16_t type, uint16_t id, std::vector<uint8_t> &data,
                  std::string &error);
