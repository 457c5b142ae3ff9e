#pragma once
// The extract-once cache's index (format/cache_index.h) on the packer's
// side: the application id checked, the index built from the entries as
// they were written, and an executable's index checked against its payload
// and described for --list.
#include <stdint.h>

#include <string>
#include <vector>

#include "packer/payload_writer.h"

// The application id when none is given: the output's file name without a
// final ".exe" (in any case).
std::string defaultCacheId(const std::string &outputPath);

// The id (UTF-8) as stored, or false with `problem` saying the rule it breaks.
bool parseCacheId(const std::string &id, std::u16string &units, std::string &problem);

// The index for the entries written (PayloadSummary::entries, digests
// included) under the application id `id`. False with `error` when there
// are none or more than the index takes.
bool buildCacheIndex(const std::u16string &id, const std::vector<StoredEntry> &entries, std::vector<uint8_t> &index,
                     std::string &error);

// Checks the index against the payload container it travels with: the
// index reads, every entry of the payload is the index's entry of the same
// place (name, size, data digest), no entry is missing or extra, and D and
// the version name are the ones the payload's entries give. False with
// `error` saying what differs. Decodes the whole container; assumes it was
// checked whole already (payload_listing.h).
bool checkCacheIndex(const std::vector<uint8_t> &index, const std::vector<uint8_t> &container, std::string &error);

// What --list shows of an index already checked: the application id, the
// version directory's name and D in hexadecimal.
std::string describeCacheIndex(const std::vector<uint8_t> &index);
