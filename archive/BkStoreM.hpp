// The media store together with the jukeboxes' own record of their media.
//
// Labelling a fresh medium and the update that keeps both stores in step.
#pragma once

#include "BkArchiv.hpp"
#include "BkDevSel.hpp"
#include "Strings.hpp"

void BkStoreM_Init();

// BkStore_UpdateMediaInfo, then, when a jukebox holds the medium, its record of the
// medium's label and description.
bool BkStoreM_UpdateMediaInfo(StrIn label, Header* hdr);

// A fresh header with a new media name for the medium in device, its label written to the
// medium (the write waits for nothing: it runs here, not as a job). On failure error 7 of
// the store is raised and hdr is nil.
bool BkStoreM_LabelMedia(const DevListEntry& device, std::uint8_t mediaFormat, StrIn comment1,
                         StrIn comment2, Header*& hdr);
