// The settings file as a document: sections of lines, parsed from bytes and
// written back as bytes. Bytes are bytes: names and values are held as they
// were read, in whatever 8-bit character set the file uses.
//
// Read form: lines end at CR LF, LF or CR, a 0x00 byte ends the text; every
// line is trimmed of bytes 0x20 and below; empty lines and ";" comments are
// dropped; "[name]" opens a section (also a name used before); lines before
// the first section are dropped; "name = value" is held as name and value,
// both trimmed, any other line as it is.
//
// Written form: each section as "[name]", its lines, then one empty line,
// every line ending in CR LF; a document without sections is empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zefa {

class IniDocument {
 public:
  struct Line {
    std::string name;   // the key, or the whole line when it has no "="
    std::string value;  // only meaningful when isKey
    bool isKey = false;
  };

  struct Section {
    std::string name;
    std::vector<Line> lines;
  };

  static IniDocument Parse(const std::string& bytes);
  std::string Serialize() const;

  // Names match without regard to ASCII letter case. Of several sections
  // with the name, the last is the one read and changed; within it, the
  // last key with the name.
  std::optional<std::string> Get(const std::string& section, const std::string& key) const;

  // Replaces the key's line in its place (the key then takes the given
  // spelling), else appends it to the section, else appends a new section.
  // Name and value are expected as the document holds them: trimmed, on
  // one line, no "=" in the name, the line not looking like a comment or a
  // section; anything else would not read back the same.
  void Set(const std::string& section, const std::string& key, const std::string& value);

  // The value read as a whole number (ReadWholeNumber); defaultValue when
  // the section, the key or a number is missing.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t defaultValue) const;
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);

  const std::vector<Section>& Sections() const { return FSections; }

 private:
  const Section* FindSection(const std::string& name) const;
  Section* FindSection(const std::string& name);

  std::vector<Section> FSections;
};

// A signed 32-bit whole number: an optional "+" or "-", then decimal digits,
// or hexadecimal digits after "$", "0x" or "0X" (the sign goes before the
// prefix: "-$A" is -10). Anything else gives defaultValue: empty text, a
// sign or prefix without digits, spaces (values come trimmed from the
// document), and any number outside -2147483648..2147483647 in either
// notation, so "$FFFFFFFF" is out of range rather than -1.
int32_t ReadWholeNumber(const std::string& text, int32_t defaultValue);

// The settings file's bytes as the text the document reads, and back.
// Editors and the system's own profile functions also write the file with
// a byte-order mark: UTF-8, or UTF-16 in either byte order. Those forms are
// held as UTF-8 text (an unpaired UTF-16 surrogate as its own three bytes,
// so that nothing is lost) and written back in the file's own form.
// Encode(Decode(bytes)) gives back the same bytes, whatever they are.
struct IniFileText {
  enum class Encoding { Bytes, Utf8Bom, Utf16Le, Utf16Be };

  Encoding encoding = Encoding::Bytes;
  std::string text;  // what the document reads
  // The file's own bytes from its first NUL character on, and a stray last
  // byte of a UTF-16 file: not text, never read, kept as they are.
  std::string tail;

  static IniFileText Decode(const std::string& bytes);
  std::string Encode() const;
};

// The text with the key set as IniDocument::Set would set it, every other
// byte left as it is: the key's line is replaced, or a line added after the
// section's last entry, or the section added at the end, with the line end
// the text already uses (CR LF in a text that has none).
std::string SetInText(const std::string& text, const std::string& section, const std::string& key,
                      const std::string& value);

}  // namespace zefa
