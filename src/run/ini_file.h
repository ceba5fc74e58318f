// The configuration file: one process-wide IniFile holds its path, and the four readers turn
// a key's text into a value. The file is read afresh on every call, so a key read in every
// pass takes the file's content at that moment. A missing file, section or key gives the
// reader's default, and no reader reports an error, with one exception: once the file has
// been read, a read that finds it missing or unreadable (an editor saving it by writing a new
// file and renaming it) uses the text read last, so disabled tests do not come back on, and
// says so once through the warning sink; a file that is back is read again.
//
// File format: "[Section]" lines, then "key=value" lines. Section and key names match
// without regard to case; the first matching key wins; the value is the text after the
// first '=' with blanks trimmed, and one pair of enclosing double quotes is removed. Lines
// whose first non-blank character is ';' or '#' are comments. Lines end with LF, CR LF or a
// lone CR. A section line without its closing bracket ("[Cache") names the section all the
// same. A UTF-16 file is read as empty (every key takes its default).
//
// The readers may be called from any thread; the path is set once before the first read.
#ifndef FORGEVAL_RUN_INI_FILE_H_
#define FORGEVAL_RUN_INI_FILE_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace forgeval {

class IniFile {
 public:
  IniFile();
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;
  ~IniFile();

  static IniFile* Instance();

  // Backslashes in `path` are read as '/'.
  void SetPath(const std::string& path);
  const std::string& path() const { return path_; }

  // Where the warning about a file that can no longer be read goes; without one it is dropped.
  // Set before the first read; called from any reading thread, without a lock of IniFile held.
  void SetWarningSink(std::function<void(const std::string&)> sink);

  // The file's text as the readers see it (see above); nothing when it cannot be read and
  // never could.
  std::optional<std::string> Text() const;

  // The whole value text, or `default_text` when the file, section or key is missing.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view default_text) const;
  // "true" and "yes" (any case) are true; otherwise the leading signed decimal number is
  // tested against zero, so any other word is false. Empty or missing: `default_value`.
  bool ReadBool(std::string_view section, std::string_view key, bool default_value) const;
  // The leading unsigned decimal number, with the C library's wrapping of a minus sign
  // (-1 is 4294967295) and values beyond the range held at 4294967295. A word is 0.
  // Empty or missing: `default_value`.
  uint32_t ReadInt(std::string_view section, std::string_view key, uint32_t default_value) const;
  // The comma-separated entries, each trimmed of blanks, empty entries dropped.
  std::vector<std::string> ReadList(std::string_view section, std::string_view key) const;

 private:
  std::string path_;
  std::function<void(const std::string&)> sink_;
  mutable std::mutex mutex_;
  mutable std::optional<std::string> last_text_;  // guarded by mutex_
  mutable bool warned_ = false;                   // guarded by mutex_
};

// One line of the file that matters: a section line (`key` empty) or a key line.
struct IniLine {
  int number;                // 1-based line number in the file
  std::string_view section;  // the section it belongs to (for a section line: its name)
  std::string_view key;      // empty for a section line
  std::string_view value;    // blanks trimmed, one pair of enclosing quotes removed
  bool unclosed = false;     // a section line without its closing bracket
  std::string_view unread;   // a line that is none of the above, e.g. "Enabled false" (key empty)
};

// Walks the file's text in order, calling `visit` for every section line, every key line and
// every line that is not read (`unread`); comments and blank lines are skipped, and a UTF-16
// text gives nothing. Stops when `visit` returns false.
void ParseIni(std::string_view text, const std::function<bool(const IniLine&)>& visit);

// Only the first kNumberTextLength characters of a value count for a number or a boolean.
inline constexpr size_t kNumberTextLength = 64;

// The C library's text-to-number rules as the readers apply them to the first 64
// characters of a value: blanks skipped, an optional sign, digits up to the first other
// character.
uint32_t ParseUnsigned32(std::string_view text);  // strtoul rules for a 32-bit result
int32_t ParseSigned32(std::string_view text);     // strtol rules, held at the 32-bit limits

// A text in UTF-16 (a byte order mark, or a zero byte among the first two).
bool IsUtf16(std::string_view text);

// Removes spaces, tabs, carriage returns and line feeds at both ends.
std::string_view TrimBlanks(std::string_view text);

// The readers on the process-wide IniFile. Without one they return their defaults.
std::string IniReadString(std::string_view section, std::string_view key,
                          std::string_view default_text);
bool IniReadBool(std::string_view section, std::string_view key, bool default_value);
uint32_t IniReadInt(std::string_view section, std::string_view key, uint32_t default_value);
std::vector<std::string> IniReadList(std::string_view section, std::string_view key);

}  // namespace forgeval

#endif  // FORGEVAL_RUN_INI_FILE_H_
