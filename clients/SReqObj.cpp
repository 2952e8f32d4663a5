#include "SReqObj.hpp"

#include "UCommon.hpp"

void SReqObj_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SReqObj");
  if (!init) return;
  UCommon_Init();
}

SReqObj SReqObj::Boolean(bool b) {
  SReqObj o;
  o.value_ = b;
  return o;
}

SReqObj SReqObj::Integer(std::int32_t i) {
  SReqObj o;
  o.value_ = i;
  return o;
}

SReqObj SReqObj::String(std::string_view s) {
  SReqObj o;
  o.value_ = std::string(s);
  return o;
}

SReqObj SReqObj::Array(Elements elements) {
  SReqObj o;
  o.value_ = std::move(elements);
  return o;
}

bool SReqObj::AsBoolean() const {
  const bool* b = std::get_if<bool>(&value_);
  return b != nullptr && *b;
}

std::int32_t SReqObj::AsInteger() const {
  const std::int32_t* i = std::get_if<std::int32_t>(&value_);
  return i != nullptr ? *i : 0;
}

const std::string& SReqObj::AsString() const {
  static const std::string empty;
  const std::string* s = std::get_if<std::string>(&value_);
  return s != nullptr ? *s : empty;
}

const SReqObj::Elements& SReqObj::elements() const {
  static const Elements none;
  const Elements* e = std::get_if<Elements>(&value_);
  return e != nullptr ? *e : none;
}

SReqObj::Elements& SReqObj::elements() {
  if (!IsArray()) value_ = Elements{};
  return std::get<Elements>(value_);
}

const SReqObj& SReqObj::at(std::size_t i) const {
  static const SReqObj none;
  const Elements& e = elements();
  return i < e.size() ? e[i] : none;
}

SReqObj& SReqObj::Append(SReqObj element) {
  elements().push_back(std::move(element));
  return *this;
}

namespace {

void PutCount(std::uint32_t n, std::string& wire) {
  // Network byte order whatever the host's order is.
  wire.push_back(static_cast<char>((n >> 24) & 0xFF));
  wire.push_back(static_cast<char>((n >> 16) & 0xFF));
  wire.push_back(static_cast<char>((n >> 8) & 0xFF));
  wire.push_back(static_cast<char>(n & 0xFF));
}

bool Encode(const SReqObj& obj, std::string& wire) {
  wire.push_back(SReqObj_typeChars[static_cast<int>(obj.type())]);
  switch (obj.type()) {
    case SReqObj_Type::None:
      return true;
    case SReqObj_Type::Boolean:
      wire.push_back(obj.AsBoolean() ? 1 : 0);
      return true;
    case SReqObj_Type::Integer:
      PutCount(static_cast<std::uint32_t>(obj.AsInteger()), wire);
      return true;
    case SReqObj_Type::String: {
      const std::string& s = obj.AsString();
      if (s.size() > SReqObj_maxString) return false;
      PutCount(static_cast<std::uint32_t>(s.size()), wire);
      wire.append(s);
      return true;
    }
    case SReqObj_Type::Array: {
      const SReqObj::Elements& e = obj.elements();
      if (e.size() > SReqObj_maxArray) return false;
      PutCount(static_cast<std::uint32_t>(e.size()), wire);
      for (const SReqObj& element : e) {
        if (!Encode(element, wire)) return false;
      }
      return true;
    }
  }
  return false;
}

class Decoder {
 public:
  explicit Decoder(std::string_view wire) : wire_(wire) {}

  SReqObj_Result Object(SReqObj* out, std::size_t depth) {
    if (pos_ >= wire_.size()) return SReqObj_Result::Incomplete;
    const char type = wire_[pos_++];
    switch (type) {
      case 'V':
        if (out) *out = SReqObj();
        return SReqObj_Result::Complete;
      case 'B': {
        if (pos_ + 1 > wire_.size()) return SReqObj_Result::Incomplete;
        const bool b = wire_[pos_++] != 0;
        if (out) *out = SReqObj::Boolean(b);
        return SReqObj_Result::Complete;
      }
      case 'I': {
        std::uint32_t n = 0;
        if (!Count(n)) return SReqObj_Result::Incomplete;
        if (out) *out = SReqObj::Integer(static_cast<std::int32_t>(n));
        return SReqObj_Result::Complete;
      }
      case 'S': {
        std::uint32_t n = 0;
        if (!Count(n)) return SReqObj_Result::Incomplete;
        if (n > SReqObj_maxString) return SReqObj_Result::Malformed;
        if (wire_.size() - pos_ < n) return SReqObj_Result::Incomplete;
        if (out) *out = SReqObj::String(wire_.substr(pos_, n));
        pos_ += n;
        return SReqObj_Result::Complete;
      }
      case 'A': {
        std::uint32_t n = 0;
        if (!Count(n)) return SReqObj_Result::Incomplete;
        if (n > SReqObj_maxArray || depth >= SReqObj_maxDepth) return SReqObj_Result::Malformed;
        // Every element takes at least one byte: a count beyond the bytes left cannot be
        // complete yet, and the vector never grows past what has arrived.
        if (n > wire_.size() - pos_) return SReqObj_Result::Incomplete;
        if (out) *out = SReqObj::Array();
        for (std::uint32_t i = 0; i < n; ++i) {
          SReqObj element;
          const SReqObj_Result r = Object(out ? &element : nullptr, depth + 1);
          if (r != SReqObj_Result::Complete) return r;
          if (out) out->elements().push_back(std::move(element));
        }
        return SReqObj_Result::Complete;
      }
      default:
        return SReqObj_Result::Malformed;
    }
  }

  std::size_t pos() const { return pos_; }

 private:
  bool Count(std::uint32_t& n) {
    if (wire_.size() - pos_ < 4) return false;
    n = 0;
    for (int i = 0; i < 4; ++i) n = (n << 8) | static_cast<unsigned char>(wire_[pos_ + i]);
    pos_ += 4;
    return true;
  }

  std::string_view wire_;
  std::size_t pos_ = 0;
};

void AppendText(const SReqObj& obj, std::string& text) {
  switch (obj.type()) {
    case SReqObj_Type::None:
      text += "VOID";
      break;
    case SReqObj_Type::Boolean:
      text += obj.AsBoolean() ? "TRUE" : "FALSE";
      break;
    case SReqObj_Type::Integer:
      text += std::to_string(obj.AsInteger());
      break;
    case SReqObj_Type::String:
      text += '"';
      for (const char c : obj.AsString()) {
        if (c == '"' || c == '\\') text += '\\';
        text += c;
      }
      text += '"';
      break;
    case SReqObj_Type::Array: {
      text += '[';
      bool first = true;
      for (const SReqObj& e : obj.elements()) {
        if (!first) text += ", ";
        first = false;
        AppendText(e, text);
      }
      text += ']';
      break;
    }
  }
}

}  // namespace

bool SReqObj_Send(const SReqObj& obj, std::string& wire) {
  const std::size_t before = wire.size();
  if (Encode(obj, wire)) return true;
  wire.resize(before);
  return false;
}

SReqObj_Result SReqObj_Receive(std::string_view wire, SReqObj* out, std::size_t& consumed) {
  Decoder d(wire);
  const SReqObj_Result r = d.Object(out, 0);
  consumed = r == SReqObj_Result::Complete ? d.pos() : 0;
  return r;
}

SReqObj_Result SReqObj_ReceiveMessage(std::string_view wire, SReqObj* out, std::size_t& consumed) {
  std::size_t n = 0;
  SReqObj_Result r = SReqObj_Receive(wire, out, n);
  consumed = 0;
  if (r != SReqObj_Result::Complete) return r;
  if (n >= wire.size()) return SReqObj_Result::Incomplete;
  if (wire[n] != SReqObj_messageEnd) return SReqObj_Result::Malformed;
  consumed = n + 1;
  return r;
}

std::string SReqObj_ToText(const SReqObj& obj) {
  std::string text;
  AppendText(obj, text);
  return text;
}
