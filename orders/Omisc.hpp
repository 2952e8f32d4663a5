// Small helpers of the order model.
#pragma once

#include "Strings.hpp"

extern char Omisc_thisHost[128];  // the machine name

void Omisc_Init();

// True for this machine, and for a host whose file systems this machine reaches below
// the network root and "/<host>"; the working directory is left as it was.
bool Omisc_ValidHost(StrIn host);
