#include "HTMLStreamParser/TextimageRewriter.h"

#include "SpoolStorage/SpoolStorage.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace nimbuswatch {

namespace {

// The attributes that steer the drawing; they go into the description only.
constexpr std::array<std::string_view, 5> kDrawingAttributes = {"color", "bgcolor", "font", "size",
                                                                "style"};

bool isDrawingAttribute(std::string_view attributeName) {
  return std::find(kDrawingAttributes.begin(), kDrawingAttributes.end(), attributeName) !=
         kDrawingAttributes.end();
}

void setDefault(ElementRecord& element, const std::string& attributeName, const char* value) {
  std::string& current = element.attributes[attributeName];
  if (current.empty()) {
    current = value;
  }
}

}  // namespace

void removeControlCharacters(std::string& text) {
  std::erase_if(text, [](char byte) {
    const auto value = static_cast<unsigned char>(byte);
    return value < 0x20 || value == 0x7F;
  });
}

std::string imgMarkup(ElementRecord& element, std::string_view imagesURL, const std::string& identifier) {
  std::string& src = element.attributes["src"];
  src.clear();
  src.reserve(imagesURL.size() + identifier.size() + 6);
  src += '"';
  src += imagesURL;
  src += identifier;
  src += ".gif\"";
  setDefault(element, "align", "\"absmiddle\"");
  setDefault(element, "border", "\"0\"");

  std::size_t size = 5;
  for (const auto& [attributeName, value] : element.attributes) {
    size += attributeName.size() + value.size() + 2;
  }
  std::string markup;
  markup.reserve(size);
  markup += "<img";
  for (const auto& [attributeName, value] : element.attributes) {
    if (isDrawingAttribute(attributeName)) {
      continue;
    }
    markup += ' ';
    markup += attributeName;
    markup += '=';
    markup += value;
  }
  markup += '>';
  return markup;
}

void rewriteElement(ElementRecord& element, const ElementStore& store, const Writer& write) {
  element.text.resize(element.text.size() - std::min(element.text.size(), kClosingTagLength));
  removeControlCharacters(element.text);

  const std::string identifier =
      store.spool != nullptr ? store.spool->store(describeElement(element)) : std::string();
  std::string markup = imgMarkup(element, store.imagesURL, identifier);
  if (!element.text.empty()) {
    write(markup);
  }
}

}  // namespace nimbuswatch
