#include "TAPEsupp.hpp"

#include "Messages.hpp"
#include "TpTape.hpp"
#include "UArgs.hpp"
#include "UCommon.hpp"

void TAPEsupp_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "TAPEsupp");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  UArgs_Init();
  FileIO_Init();
  Utility_Init();
  TpTape_Init();
}

bool TAPEsupp_InitTape(StrIn device) {
  char name[2048];
  Strings_Assign(device, name);
  return TpInitTape(name) == 0;
}

bool TAPEsupp_TapeOp(FileIO_File f, int op, int count) { return TpTapeOp(f, op, count) == 0; }

bool TAPEsupp_GetPos(FileIO_File f, long& residual, long& fileNumber, long& blockNumber) {
  return TpGetPos(f, &residual, &fileNumber, &blockNumber) == 0;
}

bool TAPEsupp_SeekTo(FileIO_File f, int n) { return TpSeekTo(f, n) == 0; }

long TAPEsupp_ReadBlock(FileIO_File f, long limit, char** buffer, long* size) {
  return TpReadBlock(f, limit, buffer, size);
}

void TAPEsupp_GetTapeDevName(StrOut device) {
  char option[128];
  Messages_GetMsg("TAPEsupp", 1, option);
  if (option[0] != '\0' && !Messages_IsUndefMessage(option)) {
    char param[2048];
    for (std::size_t i = 1; i < UArgs_NumParams(); ++i) {
      UArgs_GetParam(i, param);
      // The option as the last argument names nothing: the default applies.
      if (Strings_Equal(param, option) && UArgs_GetParam(i + 1, param)) {
        Strings_Assign(param, device);
        return;
      }
    }
  }
  char name[2048];
  TpGetDefaultTapeName(name, sizeof name);
  Strings_Assign(name, device);
}

bool TAPEsupp_TapeAutoWFM() { return TpTapeAutoWFM(); }

namespace {

using Recogniser = bool (*)(const unsigned char*, std::size_t, TpEntry&);

bool Recognise(Recogniser recognise, const unsigned char* block, std::size_t size, StrOut name,
               TAPEsupp_Entry& entry) {
  TpEntry found{};
  found.name = name.data();
  found.nameLength = name.capacity();
  if (!recognise(block, size, found)) return false;
  entry.date = {static_cast<unsigned>(found.time.day), static_cast<unsigned>(found.time.month),
                static_cast<unsigned>(found.time.year), 0};
  entry.time = {static_cast<unsigned>(found.time.hour), static_cast<unsigned>(found.time.minute),
                static_cast<unsigned>(found.time.second), 0};
  entry.headerLength = found.headerLength;
  entry.dataLength = found.dataLength;
  entry.cpioOptions = found.cpioOptions != nullptr ? found.cpioOptions : "";
  return true;
}

}  // namespace

bool TAPEsupp_IsTar(const unsigned char* block, std::size_t size, StrOut name,
                    TAPEsupp_Entry& entry) {
  return Recognise(TpIsTar, block, size, name, entry);
}
bool TAPEsupp_IsGTar(const unsigned char* block, std::size_t size, StrOut name,
                     TAPEsupp_Entry& entry) {
  return Recognise(TpIsGTar, block, size, name, entry);
}
bool TAPEsupp_IsCpio(const unsigned char* block, std::size_t size, StrOut name,
                     TAPEsupp_Entry& entry) {
  return Recognise(TpIsCpio, block, size, name, entry);
}
