// Request objects: the typed values that travel between the suite's servers and their
// clients (job server, resource manager), and their byte encoding.
//
// Encoding of one object: a type character, then
//   'V' none     nothing more
//   'B' boolean  one byte, 0 or 1 (any other value reads as true)
//   'I' integer  four bytes, signed, network byte order
//   'S' string   four-byte length in network byte order, then that many bytes
//   'A' array    four-byte element count in network byte order, then the elements
// A message on a connection is one object followed by one line feed byte (10).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

enum class SReqObj_Type : std::uint8_t {
  None = 0,
  Boolean = 1,
  Integer = 2,
  String = 3,
  Array = 4
};

// Type characters on the wire, indexed by type number.
inline constexpr char SReqObj_typeChars[] = "VBISA";
// Strings hold at most this many bytes, arrays at most this many elements.
inline constexpr std::size_t SReqObj_maxString = 65536;
inline constexpr std::size_t SReqObj_maxArray = 524288;
// Arrays nested deeper than this are refused by the decoder, so that a hostile frame
// cannot exhaust the stack of a server.
inline constexpr std::size_t SReqObj_maxDepth = 64;
// The byte that ends every message.
inline constexpr char SReqObj_messageEnd = '\n';

class SReqObj {
 public:
  using Elements = std::vector<SReqObj>;

  SReqObj() = default;  // none
  static SReqObj Boolean(bool b);
  static SReqObj Integer(std::int32_t i);
  static SReqObj String(std::string_view s);
  static SReqObj Array(Elements elements = {});

  SReqObj_Type type() const { return static_cast<SReqObj_Type>(value_.index()); }
  bool IsNone() const { return type() == SReqObj_Type::None; }
  bool IsBoolean() const { return type() == SReqObj_Type::Boolean; }
  bool IsInteger() const { return type() == SReqObj_Type::Integer; }
  bool IsString() const { return type() == SReqObj_Type::String; }
  bool IsArray() const { return type() == SReqObj_Type::Array; }

  // Typed access; a value of another type gives false, 0, "" or no elements.
  bool AsBoolean() const;
  std::int32_t AsInteger() const;
  const std::string& AsString() const;
  const Elements& elements() const;
  Elements& elements();  // turns a non-array into an empty array first

  // Array helpers. size() is 0 for a non-array; at() of a missing element is none.
  std::size_t size() const { return elements().size(); }
  const SReqObj& at(std::size_t i) const;
  SReqObj& Append(SReqObj element);

  friend bool operator==(const SReqObj& a, const SReqObj& b) { return a.value_ == b.value_; }

 private:
  std::variant<std::monostate, bool, std::int32_t, std::string, Elements> value_;
};

// Appends the encoding of obj to wire. False (and wire unchanged) when obj holds a
// string or an array beyond the limits.
bool SReqObj_Send(const SReqObj& obj, std::string& wire);

enum class SReqObj_Result {
  Complete,    // one object decoded; `consumed` tells its length
  Incomplete,  // the bytes end inside the object: wait for more
  Malformed    // unknown type character, a length beyond the limits, or nesting too deep
};

// Decodes the object at the start of wire. With out == nullptr only checks and measures.
SReqObj_Result SReqObj_Receive(std::string_view wire, SReqObj* out, std::size_t& consumed);

// One message: decodes an object that must be followed by the message end. Malformed
// also when the byte after the object is not a line feed.
SReqObj_Result SReqObj_ReceiveMessage(std::string_view wire, SReqObj* out, std::size_t& consumed);

// Text form for diagnostics: none is "VOID", booleans "TRUE"/"FALSE", integers in
// decimal, strings in double quotes (with \" and \\ escaped), arrays as "[a, b]".
std::string SReqObj_ToText(const SReqObj& obj);

void SReqObj_Init();
