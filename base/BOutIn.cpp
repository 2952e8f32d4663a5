#include "BOutIn.hpp"

#include "BConvert.hpp"
#include "TextIO.hpp"
#include "UCommon.hpp"

bool BOutIn_done = false;

namespace {

struct Adapter {
  BFileIO_File f;
  bool Get(char& ch) {
    BFileIO_ReadChar(f, ch);
    return BFileIO_ioError == 0;
  }
  void Unget() { BFileIO_UngetChar(f); }
  bool Put(const char* p, std::size_t n) {
    BFileIO_Write(f, p, n);
    return BFileIO_ioError == 0 && BFileIO_bytesTransferred == n;
  }
};

}  // namespace

void BOutIn_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BOutIn");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  BConvert_Init();
  BFileIO_Init();
}

void BOutIn_ReadString(BFileIO_File f, StrOut s) {
  Adapter a{f};
  BOutIn_done = zolt::textio::ReadString(a, s);
}

void BOutIn_ReadLn(BFileIO_File f) {
  Adapter a{f};
  zolt::textio::ReadLn(a);
  BOutIn_done = BFileIO_ioError <= 1;
}

void BOutIn_ReadCard(BFileIO_File f, std::uint32_t& x) {
  Adapter a{f};
  BOutIn_done = zolt::textio::ReadCard(a, x);
}

void BOutIn_ReadInt(BFileIO_File f, std::int32_t& x) {
  Adapter a{f};
  BOutIn_done = zolt::textio::ReadInt(a, x);
}

void BOutIn_ReadReal(BFileIO_File f, double& x) {
  Adapter a{f};
  BOutIn_done = zolt::textio::ReadReal(a, x);
}

void BOutIn_WriteString(BFileIO_File f, StrIn s) {
  Adapter a{f};
  BOutIn_done = zolt::textio::WriteString(a, s);
}

void BOutIn_WriteLn(BFileIO_File f) {
  Adapter a{f};
  BOutIn_done = zolt::textio::WriteLn(a);
}

void BOutIn_WriteCard(BFileIO_File f, std::uint32_t x, std::size_t width) {
  Adapter a{f};
  BOutIn_done = zolt::textio::WriteCard(a, x, width);
}

void BOutIn_WriteInt(BFileIO_File f, std::int32_t x, std::size_t width) {
  Adapter a{f};
  BOutIn_done = zolt::textio::WriteInt(a, x, width);
}

void BOutIn_WriteReal(BFileIO_File f, double x, std::size_t width, int decimals) {
  Adapter a{f};
  BOutIn_done = zolt::textio::WriteReal(a, x, width, decimals);
}

namespace {
// Runs a write and, when it succeeded, the line end.
template <class Write>
void ThenLn(BFileIO_File f, Write write) {
  write();
  if (BOutIn_done) BOutIn_WriteLn(f);
}
}  // namespace

void BOutIn_WriteStringLn(BFileIO_File f, StrIn s) {
  ThenLn(f, [&] { BOutIn_WriteString(f, s); });
}

void BOutIn_WriteCardLn(BFileIO_File f, std::uint32_t x, std::size_t width) {
  ThenLn(f, [&] { BOutIn_WriteCard(f, x, width); });
}

void BOutIn_WriteIntLn(BFileIO_File f, std::int32_t x, std::size_t width) {
  ThenLn(f, [&] { BOutIn_WriteInt(f, x, width); });
}

void BOutIn_WriteRealLn(BFileIO_File f, double x, std::size_t width, int decimals) {
  ThenLn(f, [&] { BOutIn_WriteReal(f, x, width, decimals); });
}
