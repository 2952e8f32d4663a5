// Reservations of orders at the resource manager.
//
// An order's resource name is "*:" followed by the full path of its order info file and
// the suffix of the resource manager client: ":*" for exclusive use, a suffix of its own
// per call for shared use. A process that holds an order exclusively can still take
// shared reservations of it (they nest inside its hold); other processes cannot.
#pragma once

#include <cstdint>

#include "Strings.hpp"

// Attempts of Oresourc_Reserve and the wait between two of them.
inline constexpr int Oresourc_attempts = 12;
inline constexpr std::uint32_t Oresourc_retryDelay = 250;  // milliseconds

void Oresourc_Init();

// The resource name of an order given by name or path: a path not beginning with "/" is
// taken as the last component in Odirs_orderDir, ".aif" is added when missing.
void Oresourc_OrderRes(StrIn orderPath, bool exclusive, StrOut resourceName);
// "*:" followed by the (blank-stripped) path and the client's exclusive or shared
// suffix; empty for an empty path.
void Oresourc_BuildResource(StrIn path, bool exclusive, StrOut resourceName);
// Asks for the reservation (released when this process dies) up to Oresourc_attempts
// times, Oresourc_retryDelay apart; true when one was granted.
bool Oresourc_Reserve(StrIn resourceName);
void Oresourc_Release(StrIn resourceName);
