// The media store together with the jukeboxes' own record of their media.
//
// Labelling a fresh medium goes through the command scripts, which are not part of this
// tree yet; BkStoreM offers the update that keeps both stores in step.
#pragma once

#include "BkArchiv.hpp"
#include "Strings.hpp"

void BkStoreM_Init();

// BkStore_UpdateMediaInfo, then, when a jukebox holds the medium, its record of the
// medium's label and description.
bool BkStoreM_UpdateMediaInfo(StrIn label, Header* hdr);
