// The numeric reply of a line protocol (FTP): a three-digit code and the reply's text lines.
#pragma once

#include <string>
#include <vector>

class TIdRFCReply {
 public:
  // A new reply is cleared.
  TIdRFCReply() = default;
  TIdRFCReply(const TIdRFCReply&) = default;
  // Assigning copies NumericCode, Text, Lines and TextCode.
  TIdRFCReply& operator=(const TIdRFCReply&) = default;
  virtual ~TIdRFCReply() = default;

  // The reply code; 0 when the code text is not a number.
  int NumericCode() const { return numericCode_; }
  // A value above 0 also sets TextCode to its decimal text.
  void SetNumericCode(int code);

  // The code as text (normally three digits).
  const std::string& TextCode() const { return textCode_; }
  // A non-empty text also sets NumericCode to its integer value (0 when not an integer); the
  // empty text leaves NumericCode unchanged.
  void SetTextCode(const std::string& code);

  // One entry per reply line: the trimmed line from its fifth character on.
  std::vector<std::string>& Text() { return text_; }
  const std::vector<std::string>& Text() const { return text_; }
  // The reply lines exactly as received, without their line ends: what a caller needs when
  // blanks matter (an MLST entry line is " facts; name" and the name may end in blanks).
  const std::vector<std::string>& Lines() const { return lines_; }

  // NumericCode 0, Text, Lines and TextCode empty.
  void Clear();

  // Clears the reply, then fills it from raw reply lines (kept as Lines): the code is the
  // first line's first four characters after trimming (cut to three when the fourth is "-"),
  // and every line, the first included, adds its trimmed text from the fifth character on
  // (empty when shorter). An empty list leaves the reply cleared. Never throws for any input.
  void ParseReplyLines(const std::vector<std::string>& lines);

  // The lines of Text, each followed by CR LF (the message of a reply error).
  std::string FormattedText() const;

 private:
  int numericCode_ = 0;
  std::string textCode_;
  std::vector<std::string> text_;
  std::vector<std::string> lines_;
};

// Removes leading and trailing characters whose code is 32 or less (bytes 0x80.. are kept).
std::string IdTrim(const std::string& text);
