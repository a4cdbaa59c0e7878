#include "net/IdRFCReply.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

// The integer value of a code text; 0 when the whole text is not a (32-bit) integer.
int CodeValue(const std::string& text) {
  if (text.empty()) return 0;
  std::size_t i = 0;
  if (text[0] == '+' || text[0] == '-') i = 1;
  if (i == text.size()) return 0;
  long long value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) return 0;
  }
  return text[0] == '-' ? static_cast<int>(-value) : static_cast<int>(value);
}

}  // namespace

std::string IdTrim(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return text.substr(begin, end - begin);
}

void TIdRFCReply::SetNumericCode(int code) {
  numericCode_ = code;
  if (code > 0) textCode_ = std::to_string(code);
}

void TIdRFCReply::SetTextCode(const std::string& code) {
  textCode_ = code;
  if (!code.empty()) numericCode_ = CodeValue(code);
}

void TIdRFCReply::Clear() {
  numericCode_ = 0;
  textCode_.clear();
  text_.clear();
  lines_.clear();
}

void TIdRFCReply::ParseReplyLines(const std::vector<std::string>& lines) {
  Clear();
  if (lines.empty()) return;
  std::string code = IdTrim(IdTrim(lines.front()).substr(0, 4));
  if (code.size() == 4 && code[3] == '-') code.resize(3);
  SetTextCode(code);
  text_.reserve(lines.size());
  for (const std::string& line : lines) {
    const std::string trimmed = IdTrim(line);
    text_.push_back(trimmed.size() > 4 ? trimmed.substr(4) : std::string());
  }
  lines_ = lines;
}

std::string TIdRFCReply::FormattedText() const {
  std::string message;
  for (const std::string& line : text_) {
    message += line;
    message += "\r\n";
  }
  return message;
}
