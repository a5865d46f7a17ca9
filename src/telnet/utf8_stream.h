#pragma once

#include <cstdint>
#include <string>

namespace velmar::telnet {

// Decodes the client's byte stream as UTF-8 one byte at a time. Input arrives in arbitrary
// pieces, so a character may be split across reads; the decoder keeps the bytes of an
// unfinished sequence until it is complete or proven wrong.
//
// Every byte that cannot be part of a well-formed sequence becomes one U+FFFD of its own:
// a stray continuation byte, a lead byte that is never completed, overlong forms, surrogates
// and values above U+10FFFF. A byte that breaks a pending sequence is not swallowed with it;
// it is decoded afresh, so an LF always reaches the line reader.
class Utf8StreamDecoder {
 public:
  // Feeds one byte and appends the UTF-16 code units it completes (none, one or two; up to
  // four U+FFFD when it breaks a pending sequence) to `out`.
  void feed(unsigned char byte, std::u16string& out);

  // Whether bytes of an unfinished sequence are waiting for more input.
  bool pending() const { return count_ != 0; }

  // Turns the bytes of an unfinished sequence into one U+FFFD each (end of input).
  void flush(std::u16string& out);

 private:
  void start(unsigned char byte, std::u16string& out);

  unsigned char bytes_[4] = {};
  int count_ = 0;   // bytes held of the sequence being decoded
  int needed_ = 0;  // its total length
};

}  // namespace velmar::telnet
