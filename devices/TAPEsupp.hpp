// Tape calls on local files of the handle layer, the tape device name the user chose,
// and the header recognisers with their dates as date and time records.
//
// A local file of the handle layer is a FileIO file, which is its descriptor, so the
// calls here hand it straight to the Tp functions (and through them to the drive that
// serves the descriptor). Results are truth values; TpError and TpErrno tell why a call
// failed. Nothing is reported.
#pragma once

#include <cstddef>

#include "FileIO.hpp"
#include "Strings.hpp"
#include "Utility.hpp"

void TAPEsupp_Init();

// Runs the local tape initialisation for the device.
bool TAPEsupp_InitTape(StrIn device);
bool TAPEsupp_TapeOp(FileIO_File f, int op, int count);
bool TAPEsupp_GetPos(FileIO_File f, long& residual, long& fileNumber, long& blockNumber);
bool TAPEsupp_SeekTo(FileIO_File f, int n);
// One block, as TpReadBlock (limit above 0 caps the bytes offered). Bytes read or -1.
long TAPEsupp_ReadBlock(FileIO_File f, long limit, char** buffer, long* size);

// The tape device: the argument after the tape option of the command line, whose
// spelling is message 1 of section "TAPEsupp" (a site may rename it in its catalogue);
// without that option the default tape name of the tape layer.
void TAPEsupp_GetTapeDevName(StrOut device);
bool TAPEsupp_TapeAutoWFM();

// What a recogniser found: the entry name (cut to name's capacity), the modification
// time as a date and a time record (weekday and millisecond 0), the header and the data
// length. cpioOptions (IsCpio only): "" binary, "-H odc", "-c".
struct TAPEsupp_Entry {
  Utility_Date date;
  Utility_Time time;
  long headerLength;
  long long dataLength;
  const char* cpioOptions;
};
bool TAPEsupp_IsTar(const unsigned char* block, std::size_t size, StrOut name,
                    TAPEsupp_Entry& entry);
bool TAPEsupp_IsGTar(const unsigned char* block, std::size_t size, StrOut name,
                     TAPEsupp_Entry& entry);
bool TAPEsupp_IsCpio(const unsigned char* block, std::size_t size, StrOut name,
                     TAPEsupp_Entry& entry);
