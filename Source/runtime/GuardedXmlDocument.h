#pragma once

#include <rapidxml.hpp>

#include <memory>
#include <string>

namespace rodiz {

// An XML document parsed from a file's text with the guards every reader of
// our cache files needs: a text with a zero byte (which would hide the rest
// from the parser) or nested deeper than `max_depth` (the parser recurses once
// per level, so a file of nested tags could exhaust the stack) is refused
// before parsing. The document points into its own copy of the text and stays
// valid as long as this object lives.
class GuardedXmlDocument {
 public:
  // Parses `text`. Returns false with a short reason in `error` when the text
  // is refused or does not parse; the document is then empty.
  bool parse(std::string text, int max_depth, std::string& error);

  const rapidxml::xml_document<>& document() const { return *document_; }

 private:
  std::string text_;
  std::unique_ptr<rapidxml::xml_document<>> document_ = std::make_unique<rapidxml::xml_document<>>();
};

}  // namespace rodiz
