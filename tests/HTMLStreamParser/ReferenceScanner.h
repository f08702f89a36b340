// A plain byte-at-a-time transcription of the textimage state table, with no
// fast paths. The tests run it beside HTMLStreamParser: both must make the
// same writes, in the same number and order, for any input and any split.
#pragma once

#include "HTMLStreamParser/ElementRecord.h"
#include "HTMLStreamParser/TextimageRewriter.h"
#include "HTMLStreamParser/Writer.h"

#include <cctype>
#include <string>

namespace nimbuswatch::test {

class ReferenceScanner {
 public:
  static constexpr long long kLongestTag = 16384;

  ReferenceScanner(Writer out, const ElementStore& store) : out(out), store(store) {}

  void feed(const char* data, int nbytes) {
    int pos = 0, written = 0, tagStart = 0;
    while (pos < nbytes) {
      const char c = data[pos];
      // A tag held to the limit is abandoned; the byte is examined again.
      if (state != 0 && static_cast<long long>(pending.size()) + pos - tagStart >= kLongestTag) {
        state = 0;
        continue;
      }
      switch (state) {
        case 0:
          if (!pending.empty()) {
            out(pending);
            pending.clear();
          }
          tagStart = pos;
          if (c == '<') {
            tagName.clear();
            state = 1;
          }
          ++pos;
          break;
        case 1:
          if (letter(c)) {
            tagName += c;
            ++pos;
          } else if (c == '>' || space(c)) {
            for (char& t : tagName) t = lower(t);
            if (tagName == "textimage") {
              element.clear();
              element.name = tagName;
              closingTag = "</" + tagName + ">";
              nextState = 2;
              state = 3;
            } else {
              state = 0;
            }
          } else {
            state = 0;
          }
          break;
        case 2:
          if (c == '>') {
            state = 8;
            ++pos;
          } else if (letter(c) || digit(c)) {
            attrName = std::string(1, c);
            state = 4;
            ++pos;
          } else {
            state = 0;
          }
          break;
        case 3:
          if (space(c)) ++pos; else state = nextState;
          break;
        case 4:
          if (letter(c) || digit(c)) {
            attrName += c;
            ++pos;
          } else if (space(c)) {
            nextState = 5;
            state = 3;
            ++pos;
          } else if (c == '=') {
            state = 5;
          } else {
            state = 0;
          }
          break;
        case 5:
          if (c == '=') {
            nextState = 6;
            state = 3;
            ++pos;
          } else {
            state = 0;
          }
          break;
        case 6:
          if (c == '"' || c == '\'') {
            quote = c;
            attrValue = std::string(1, c);
            ++pos;
          } else {
            quote = 0;
            attrValue.clear();
          }
          state = 7;
          break;
        case 7:
          if (quote != 0) {
            attrValue += c;
            ++pos;
            if (c == quote) {
              endOfValue();
              state = 3;
            }
          } else if (c == '>' || space(c)) {
            endOfValue();
            state = 3;
          } else {
            attrValue += c;
            ++pos;
          }
          break;
        case 8:
          if (lower(c) == closingTag[0]) {
            matchIndex = 1;
            state = 9;
          }
          element.text += c == '\n' ? ' ' : c;
          ++pos;
          break;
        case 9:
          if (matchIndex < closingTag.size() && lower(c) == closingTag[matchIndex]) {
            element.text += c;
            ++matchIndex;
            ++pos;
            if (matchIndex == closingTag.size()) {
              pending.clear();
              if (tagStart > written) out(data + written, tagStart - written);
              rewriteElement(element, store, out);
              written = tagStart = pos;
              state = 0;
            }
          } else {
            state = 8;
          }
          break;
      }
    }
    if (state == 0) {
      if (written < nbytes) out(data + written, nbytes - written);
      return;
    }
    if (tagStart > written) out(data + written, tagStart - written);
    pending.append(data + tagStart, static_cast<std::size_t>(nbytes - tagStart));
  }

  void flush() {
    if (!pending.empty()) {
      out(pending);
      pending.clear();
    }
  }

 private:
  static bool letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
  static bool digit(char c) { return c >= '0' && c <= '9'; }
  static bool space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
  static char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
  void endOfValue() {
    for (char& t : attrName) t = lower(t);
    element.attributes[attrName] = attrValue;
    nextState = 2;
  }

  Writer out;
  ElementStore store;
  int state = 0, nextState = 0;
  char quote = 0;
  std::string closingTag, pending, tagName, attrName, attrValue;
  std::size_t matchIndex = 0;
  ElementRecord element;
};

}  // namespace nimbuswatch::test
