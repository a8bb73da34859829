// A small permissive XML tree parser over wide text, for the description a WIM archive carries: no DTD, no
// namespaces, no character references; a backslash makes the next character literal, and an element's value
// is its first non-blank text.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

enum : int {
  kXmlElement = 0,
  kXmlProcessingInstruction = 1,
  kXmlComment = 2,
  kXmlCdata = 3,
  kXmlDocument = 4,
};

struct CXmlNode;

struct CXmlAttribute {
  std::wstring name;
  std::wstring value;
  CXmlNode* owner;
};

struct CXmlNode {
  std::wstring name;
  std::wstring value;
  CXmlNode* parent = nullptr;
  std::vector<std::unique_ptr<CXmlNode>> children;
  std::vector<std::unique_ptr<CXmlAttribute>> attributes;
  int kind = kXmlElement;
  CXmlNode* document = nullptr;
};

struct CXmlParseSettings {
  bool trimValues = false;
  bool decodeEntities = true;
  wchar_t escape = L'\\';
  bool keepParsingAfterMismatch = false;
  // The first error of a parse.
  bool errorSet = false;
  size_t errorPosition = 0;
  int errorCode = 0;
  std::wstring errorText;
};

// Parses the first element of `text` into `node` (cleared first). Returns the position after the element,
// or null on error (the settings then hold the first error) or when the text holds no element.
const wchar_t* XmlParse(CXmlNode* node, const wchar_t* text, CXmlParseSettings* settings);
// The node's direct child elements named `name`, in order.
std::vector<const CXmlNode*> XmlFindAllByName(const CXmlNode* node, const std::wstring& name);
// An attribute's value / a child element's value by name (exact); null when there is none.
const std::wstring* XmlFindAttribute(const CXmlNode* node, const std::wstring& name);
const std::wstring* XmlFindChild(const CXmlNode* node, const std::wstring& name);
// Frees the node's children and attributes.
void XmlNodeFree(CXmlNode* node);
// Replaces the five entity references by their characters; anything else is copied.
std::wstring XmlDecodeEntities(const std::wstring& text);
