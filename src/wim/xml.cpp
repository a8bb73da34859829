#include "wim/xml.h"

#include <cwchar>

namespace {

// Elements nest at most this deep; deeper text is refused as damaged.
constexpr int kMaxDepth = 256;

struct Entity {
  wchar_t character;
  const wchar_t* reference;
  size_t length;
};
constexpr Entity kEntities[5] = {
    {L'&', L"&amp;", 5}, {L'"', L"&quot;", 6}, {L'\'', L"&apos;", 6}, {L'<', L"&lt;", 4}, {L'>', L"&gt;", 4}};

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

struct Parser {
  const wchar_t* begin;
  const wchar_t* end;
  CXmlParseSettings* settings;

  const wchar_t* Fail(const wchar_t* at, int code, const std::wstring& text) {
    if (!settings->errorSet) {
      settings->errorSet = true;
      settings->errorPosition = static_cast<size_t>(at - begin);
      settings->errorCode = code;
      settings->errorText = text;
    }
    return nullptr;
  }
  const wchar_t* Find(const wchar_t* from, const wchar_t* what) const {
    const size_t n = std::wcslen(what);
    for (const wchar_t* p = from; p + n <= end; ++p)
      if (std::wmemcmp(p, what, n) == 0) return p;
    return nullptr;
  }
  const wchar_t* FindAny(const wchar_t* from, const wchar_t* set) const {
    for (const wchar_t* p = from; p < end; ++p)
      if (std::wcschr(set, *p)) return p;
    return nullptr;
  }
  bool StartsWith(const wchar_t* p, const wchar_t* what) const {
    const size_t n = std::wcslen(what);
    return static_cast<size_t>(end - p) >= n && std::wmemcmp(p, what, n) == 0;
  }
  const wchar_t* SkipSpace(const wchar_t* p) const {
    while (p < end && IsSpace(*p)) ++p;
    return p;
  }
  // Text with the escape character removed, entity-decoded.
  std::wstring Value(const wchar_t* from, const wchar_t* to) const {
    std::wstring out;
    for (const wchar_t* p = from; p < to; ++p) {
      if (*p == settings->escape && p + 1 < to) ++p;
      out.push_back(*p);
    }
    if (settings->trimValues) {
      size_t a = 0, b = out.size();
      while (a < b && IsSpace(out[a])) ++a;
      while (b > a && IsSpace(out[b - 1])) --b;
      out = out.substr(a, b - a);
    }
    return settings->decodeEntities ? XmlDecodeEntities(out) : out;
  }
  // The end of element text: the next "<" that no escape character protects, or the end.
  const wchar_t* TextEnd(const wchar_t* p) const {
    while (p < end && *p != L'<') {
      if (*p == settings->escape && p + 1 < end) ++p;
      ++p;
    }
    return p;
  }

  void AddSpecial(CXmlNode* node, CXmlNode* parent, const wchar_t* name, int kind, std::wstring value) {
    CXmlNode* owner = parent ? parent : node->document;
    if (!owner) return;
    auto special = std::make_unique<CXmlNode>();
    special->name = name;
    special->value = std::move(value);
    special->kind = kind;
    special->parent = owner;
    special->document = node->document;
    owner->children.push_back(std::move(special));
  }

  const wchar_t* Element(CXmlNode* node, const wchar_t* p, CXmlNode* parent, int depth) {
    if (depth > kMaxDepth) return Fail(p, 1, L"Element must be closed.");
    for (;;) {
      while (p < end && *p != L'<') ++p;
      if (p >= end) return nullptr;
      if (p + 1 < end && p[1] == L'/') return p;
      if (StartsWith(p, L"<?")) {
        const wchar_t* close = Find(p + 2, L"?>");
        p = close ? close + 2 : end;
        p = SkipSpace(p);
        continue;
      }
      const bool comment = StartsWith(p, L"<!--");
      const bool cdata = !comment && StartsWith(p, L"<![CDATA[");
      if (comment || cdata) {
        const wchar_t* open = p + (comment ? 4 : 9);
        const wchar_t* close = Find(open, comment ? L"-->" : L"]]>");
        const wchar_t* stop = close ? close : end;
        AddSpecial(node, parent, comment ? L"#COMMENT" : L"#CDATA", comment ? kXmlComment : kXmlCdata,
                   std::wstring(open, stop));
        p = close ? close + 3 : end;
        if (parent && parent->kind != kXmlDocument) return p;
        p = SkipSpace(p);
        continue;
      }
      break;
    }
    // The start tag: its name, then attributes.
    const wchar_t* nameEnd = FindAny(p + 1, L" />\t\r\n");
    if (!nameEnd) nameEnd = end;
    node->name.assign(p + 1, nameEnd);
    p = nameEnd;
    for (;;) {
      p = SkipSpace(p);
      if (p >= end) return Fail(p, 1, L"Element must be closed.");
      if (*p == L'>' || *p == L'/') break;
      const wchar_t* attributeEnd = FindAny(p, L" =");
      if (!attributeEnd) return Fail(p, 4, L"<" + node->name + L"> attribute has error ");
      auto attribute = std::make_unique<CXmlAttribute>();
      attribute->name.assign(p, attributeEnd);
      attribute->owner = node;
      p = attributeEnd;
      if (*p == L'=') {
        ++p;
        if (p < end && (*p == L'"' || *p == L'\'')) {
          const wchar_t quote = *p++;
          const wchar_t* from = p;
          while (p < end && *p != quote) {
            if (*p == settings->escape && p + 1 < end) ++p;
            ++p;
          }
          attribute->value = Value(from, p);
          if (p < end) ++p;
        } else {
          const wchar_t* stop = FindAny(p, L" >");
          if (!stop) stop = end;
          attribute->value = Value(p, stop);
          p = stop;
        }
      }
      node->attributes.push_back(std::move(attribute));
    }
    if (*p == L'/') {
      if (p + 1 < end && p[1] == L'>') return p + 2;
      return Fail(p, 1, L"Element must be closed.");
    }
    ++p;  // '>'
    const wchar_t* textEnd = TextEnd(p);
    node->value = Value(p, textEnd);
    p = textEnd;
    if (p >= end) return p;
    for (;;) {
      if (p >= end) return p;
      if (p + 1 < end && p[0] == L'<' && p[1] == L'/') {
        const wchar_t* tagEnd = FindAny(p + 2, L" >");
        if (!tagEnd) return Fail(p, 2, L"it must be closed with </" + node->name + L">");
        const std::wstring closing(p + 2, tagEnd);
        if (closing == node->name) {
          p = tagEnd + 1;
          if (*tagEnd == L' ') {
            while (p < end && *p != L'>') ++p;
            if (p < end) ++p;
          }
          return p;
        }
        if (!settings->keepParsingAfterMismatch)
          return Fail(p, 3, L"'<" + node->name + L"> ... </" + closing + L">' is not wel-formed.");
        p = tagEnd + 1;
      } else {
        auto child = std::make_unique<CXmlNode>();
        child->parent = node;
        child->document = node->document;
        const wchar_t* next = Element(child.get(), p, node, depth + 1);
        if (!next) return settings->errorSet ? nullptr : end;
        if (next == p) {
          // An end tag stands here: handled by the loop above.
          if (!(p + 1 < end && p[1] == L'/')) return Fail(p, 1, L"Element must be closed.");
          continue;
        }
        if (!child->name.empty()) node->children.push_back(std::move(child));
        p = next;
      }
      // Text between children is the value only while the value is still blank.
      const wchar_t* stop = TextEnd(p);
      bool blank = true;
      for (wchar_t c : node->value)
        if (!IsSpace(c)) blank = false;
      if (blank && stop > p) node->value = Value(p, stop);
      p = stop;
    }
  }
};

}  // namespace

std::wstring XmlDecodeEntities(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    if (text[i] == L'&') {
      for (const Entity& entity : kEntities) {
        if (text.compare(i, entity.length, entity.reference) == 0) {
          out.push_back(entity.character);
          i += entity.length;
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out.push_back(text[i++]);
  }
  return out;
}

const wchar_t* XmlParse(CXmlNode* node, const wchar_t* text, CXmlParseSettings* settings) {
  if (!node || !text || !settings) return nullptr;
  XmlNodeFree(node);
  node->name.clear();
  node->value.clear();
  Parser parser{text, text + std::wcslen(text), settings};
  return parser.Element(node, text, node->parent, 0);
}

std::vector<const CXmlNode*> XmlFindAllByName(const CXmlNode* node, const std::wstring& name) {
  std::vector<const CXmlNode*> found;
  if (!node) return found;
  for (const auto& child : node->children)
    if (child->kind == kXmlElement && child->name == name) found.push_back(child.get());
  return found;
}

const std::wstring* XmlFindAttribute(const CXmlNode* node, const std::wstring& name) {
  if (!node) return nullptr;
  for (const auto& attribute : node->attributes)
    if (attribute->name == name) return &attribute->value;
  return nullptr;
}

const std::wstring* XmlFindChild(const CXmlNode* node, const std::wstring& name) {
  if (!node) return nullptr;
  for (const auto& child : node->children)
    if (child->kind == kXmlElement && child->name == name) return &child->value;
  return nullptr;
}

void XmlNodeFree(CXmlNode* node) {
  if (!node) return;
  // Children are released one level at a time so that a deep tree cannot exhaust the stack.
  std::vector<std::unique_ptr<CXmlNode>> pending;
  for (auto& child : node->children) pending.push_back(std::move(child));
  node->children.clear();
  node->attributes.clear();
  while (!pending.empty()) {
    std::unique_ptr<CXmlNode> current = std::move(pending.back());
    pending.pop_back();
    for (auto& child : current->children) pending.push_back(std::move(child));
    current->children.clear();
  }
}
