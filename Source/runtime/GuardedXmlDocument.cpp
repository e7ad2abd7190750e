#include "runtime/GuardedXmlDocument.h"

#include <utility>

namespace rodiz {

namespace {

// An upper bound of the element nesting: every "<" that opens a tag counts one
// level, every "</" and "/>" gives one back. Markup that only looks like tags
// (inside comments, say) can only make the bound larger.
bool nesting_within(const std::string& text, int limit) {
  int depth = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == '<') {
      if (text[i + 1] == '/') {
        --depth;
      } else if (++depth > limit) {
        return false;
      }
    } else if (text[i] == '/' && text[i + 1] == '>') {
      --depth;
    }
  }
  return true;
}

}  // namespace

bool GuardedXmlDocument::parse(std::string text, int max_depth, std::string& error) {
  document_->clear();
  if (text.find('\0') != std::string::npos) {
    error = "contains a zero byte";
    return false;
  }
  if (!nesting_within(text, max_depth)) {
    error = "nested too deeply";
    return false;
  }
  text_ = std::move(text);
  text_.push_back('\0');
  try {
    document_->parse<0>(text_.data());
  } catch (const rapidxml::parse_error& e) {
    document_->clear();
    error = e.what();
    return false;
  }
  return true;
}

}  // namespace rodiz
