#include "OutIn.hpp"

#include "BConvert.hpp"
#include "TextIO.hpp"
#include "UCommon.hpp"

bool OutIn_done = false;

namespace {

struct Adapter {
  FileIO_File f;
  bool Get(char& ch) {
    FileIO_ReadChar(f, ch);
    return FileIO_ioError == 0;
  }
  void Unget() { FileIO_UngetChar(f); }
  bool Put(const char* p, std::size_t n) {
    FileIO_Write(f, p, n);
    return FileIO_ioError == 0 && FileIO_bytesTransferred == n;
  }
};

}  // namespace

void OutIn_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "OutIn");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  BConvert_Init();
  FileIO_Init();
}

void OutIn_ReadString(FileIO_File f, StrOut s) {
  Adapter a{f};
  OutIn_done = zolt::textio::ReadString(a, s);
}

void OutIn_ReadLn(FileIO_File f) {
  Adapter a{f};
  zolt::textio::ReadLn(a);
  OutIn_done = FileIO_ioError <= 1;
}

void OutIn_ReadCard(FileIO_File f, std::uint32_t& x) {
  Adapter a{f};
  OutIn_done = zolt::textio::ReadCard(a, x);
}

void OutIn_ReadInt(FileIO_File f, std::int32_t& x) {
  Adapter a{f};
  OutIn_done = zolt::textio::ReadInt(a, x);
}

void OutIn_ReadReal(FileIO_File f, double& x) {
  Adapter a{f};
  OutIn_done = zolt::textio::ReadReal(a, x);
}

void OutIn_WriteString(FileIO_File f, StrIn s) {
  Adapter a{f};
  OutIn_done = zolt::textio::WriteString(a, s);
}

void OutIn_WriteLn(FileIO_File f) {
  Adapter a{f};
  OutIn_done = zolt::textio::WriteLn(a);
}

void OutIn_WriteCard(FileIO_File f, std::uint32_t x, std::size_t width) {
  Adapter a{f};
  OutIn_done = zolt::textio::WriteCard(a, x, width);
}

void OutIn_WriteInt(FileIO_File f, std::int32_t x, std::size_t width) {
  Adapter a{f};
  OutIn_done = zolt::textio::WriteInt(a, x, width);
}

void OutIn_WriteReal(FileIO_File f, double x, std::size_t width, int decimals) {
  Adapter a{f};
  OutIn_done = zolt::textio::WriteReal(a, x, width, decimals);
}

namespace {
// Runs a write and, when it succeeded, the line end.
template <class Write>
void ThenLn(FileIO_File f, Write write) {
  write();
  if (OutIn_done) OutIn_WriteLn(f);
}
}  // namespace

void OutIn_WriteStringLn(FileIO_File f, StrIn s) {
  ThenLn(f, [&] { OutIn_WriteString(f, s); });
}

void OutIn_WriteCardLn(FileIO_File f, std::uint32_t x, std::size_t width) {
  ThenLn(f, [&] { OutIn_WriteCard(f, x, width); });
}

void OutIn_WriteIntLn(FileIO_File f, std::int32_t x, std::size_t width) {
  ThenLn(f, [&] { OutIn_WriteInt(f, x, width); });
}

void OutIn_WriteRealLn(FileIO_File f, double x, std::size_t width, int decimals) {
  ThenLn(f, [&] { OutIn_WriteReal(f, x, width, decimals); });
}
