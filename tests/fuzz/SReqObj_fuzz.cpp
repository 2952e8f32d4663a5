// Fuzz target for the request object decoder, the part of the servers that reads bytes
// from anybody who connects.
//
// Properties checked on every input:
//   - decoding never crashes, and a complete object never claims more bytes than given;
//   - what decodes encodes again to as many bytes as it was read from (the bytes
//     themselves differ only where a boolean byte other than 0 or 1 was read as true),
//     and those decode to the same object;
//   - a decoded message goes through the request checks of a protocol table without
//     crashing.
//
// In a fuzz build (ZOLT_FUZZ) this is a libFuzzer target. Otherwise main() below is a plain
// driver: it runs every file of the directories or files named on the command line
// and then a fixed number of pseudo-random mutations of them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "FuzzDriver.hpp"
#include "SProtocol.hpp"
#include "SReqObj.hpp"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "SReqObj_fuzz: %s\n", what);
  std::abort();
}

std::string Reencode(std::string_view wire, const SReqObj& obj) {
  std::string again;
  if (!SReqObj_Send(obj, again)) Fail("a decoded object cannot be encoded");
  if (again.size() != wire.size()) Fail("re-encoding changed the length");
  return again;
}

// The standard requests and one request with a parameter of every type.
const SProtocol& Protocol() {
  static const auto protocol = [] {
    using T = SProtocol_ParamType;
    auto p = SProtocol_Create("Fuzz", 1, 8192);
    SProtocol_AddRequest(
        *p, "RESERVE", 1,
        {SProtocol_MakeParam(T::String, "hostname"), SProtocol_MakeParam(T::Integer, "clientPID"),
         SProtocol_MakeParam(T::Boolean, "trapPrematureDeath"),
         SProtocol_MakeParam(T::Array, "list"), SProtocol_MakeParam(T::Enumeration, "status", 2)},
        true, false);
    return p;
  }();
  return *protocol;
}

void Check(const std::uint8_t* data, std::size_t size) {
  const std::string_view wire(reinterpret_cast<const char*>(data), size);
  SReqObj obj;
  std::size_t used = 0;
  const SReqObj_Result r = SReqObj_Receive(wire, &obj, used);
  std::size_t measured = 0;
  if (SReqObj_Receive(wire, nullptr, measured) != r) Fail("measuring disagrees with decoding");
  if (r != SReqObj_Result::Complete) return;
  if (used == 0 || used > size || measured != used) Fail("bad consumed length");
  const std::string again = Reencode(wire.substr(0, used), obj);
  SReqObj back;
  std::size_t used2 = 0;
  if (SReqObj_Receive(again, &back, used2) != SReqObj_Result::Complete || used2 != again.size() ||
      !(back == obj)) {
    Fail("round trip lost the object");
  }
  SReqObj_ToText(obj);
  SProtocol_Message m;
  if (SProtocol_SplitMessage(obj, m)) {
    if (const SProtocol_Request* q = SProtocol_FindRequest(Protocol(), m.name, m.version)) {
      SProtocol_CheckParameters(*q, m.params);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Check(data, size);
  return 0;
}

#ifndef ZOLT_LIBFUZZER
int main(int argc, char** argv) {
  const zolt::fuzz::DriverOptions options{
      "SReqObj_fuzz",
      std::string("A\x00\x00\x00\x01V\n", 7),
      {"V", "B", "I", "S", "A", std::string(1, '\0'), "\x7f", "\xff", "\n"},
      300000,
      16};
  const int rc = zolt::fuzz::RunDriver(
      argc, argv, options,
      [](const std::uint8_t* d, std::size_t n) { LLVMFuzzerTestOneInput(d, n); });
  return rc;
}
#endif
