// The simulated medium changer: a changer for machines without one, behind the SCSI seam.
// A simulated changer is a directory holding its state ("changer.state"), a lock file
// ("changer.lock") and its media below "media/" (each a virtual tape directory or an
// image file). The state is one element a line, in element order:
//
//   <kind> <medium or -> <source address or -> <ok|failed|absent> [<drive device path>]
//
// with kind "robot", "slot", "port" or "drive". Element addresses are given by the order:
// robots from 0, then slots, ports and drives, each kind contiguous.
//
// Opening the directory through ScsiOpen gives a channel that answers INQUIRY (a medium
// changer), TEST UNIT READY, REQUEST SENSE, MODE SENSE(6) of the element address page
// (0x1D), READ ELEMENT STATUS, MOVE MEDIUM and INITIALIZE ELEMENT STATUS with the byte
// layouts of the medium-changer standard. Failures come back as fixed-format sense data
// (ILLEGAL REQUEST: 0x3B/0x0D destination full, 0x3B/0x0E source empty, 0x21/0x01 bad
// element address, 0x20/0x00 unknown command, 0x24/0x00 bad field). A failed element
// reports the exception flag with 0x80/0x00, an absent one 0x83/0x02.
//
// Moving a medium into a drive points the drive's device path (a symbolic link) at the
// medium, so the virtual tape drive serves it there; moving it out removes the link.
// Each command reads and rewrites the state under the lock, so several processes share
// one changer.
#pragma once

#include <string>
#include <vector>

void ScsiSim_Init();

bool ScsiSim_IsChanger(const char* path);

// Makes a changer in dir with one robot and the given elements; the drives are served at
// the given device paths. False (message in error) when dir holds one already.
bool ScsiSim_Create(const char* dir, int slots, int ports,
                    const std::vector<std::string>& driveDevices, std::string& error);

// Puts a medium into an empty slot (index from 0) without a move: the medium is the file
// or directory media/<name> of the changer, which the caller makes.
bool ScsiSim_PlaceMedium(const char* dir, int slot, const char* name, std::string& error);

// Marks an element (its address) as working, failed or absent.
bool ScsiSim_SetStatus(const char* dir, int address, const char* status, std::string& error);
