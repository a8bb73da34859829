// The permissive XML reader: values, children, escapes, entities and its errors.
#include <gtest/gtest.h>

#include "wim/xml.h"

namespace {

struct Parsed {
  CXmlNode node;
  CXmlParseSettings settings;
  const wchar_t* end = nullptr;
};

void Parse(Parsed* p, const wchar_t* text) { p->end = XmlParse(&p->node, text, &p->settings); }

TEST(XmlReader, ValuesChildrenAndAttributes) {
  Parsed p;
  Parse(&p,
        L"<?xml version=\"1.0\"?><!-- c --><WIM><IMAGE INDEX=\"1\" X='a\\'b'><NAME>First</NAME>"
        L"<TOTALBYTES>1234</TOTALBYTES></IMAGE><IMAGE INDEX=2><NAME>Second &amp; more</NAME></IMAGE></WIM>");
  ASSERT_NE(p.end, nullptr);
  EXPECT_EQ(p.node.name, L"WIM");
  const auto images = XmlFindAllByName(&p.node, L"IMAGE");
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(*XmlFindAttribute(images[0], L"INDEX"), L"1");
  EXPECT_EQ(*XmlFindAttribute(images[0], L"X"), L"a'b");
  EXPECT_EQ(*XmlFindChild(images[0], L"NAME"), L"First");
  EXPECT_EQ(*XmlFindChild(images[0], L"TOTALBYTES"), L"1234");
  EXPECT_EQ(*XmlFindAttribute(images[1], L"INDEX"), L"2");
  EXPECT_EQ(*XmlFindChild(images[1], L"NAME"), L"Second & more");
  EXPECT_EQ(XmlFindChild(images[1], L"name"), nullptr);  // names compare exactly
  EXPECT_EQ(XmlFindChild(images[1], L"TOTALBYTES"), nullptr);
}

TEST(XmlReader, TextRules) {
  struct Case {
    const wchar_t* text;
    const wchar_t* value;
    size_t children;
  };
  const Case cases[] = {
      {L"<a/>", L"", 0},
      {L"<a />", L"", 0},
      {L"<a>x<b/>y</a>", L"x", 1},  // the first text wins
      {L"<a> <b/>y</a>", L"y", 1},  // blank text does not count
      {L"<a>\\<</a>", L"<", 0},     // the escape character
      {L"<a>1 &amp; 2 &#38;</a>", L"1 & 2 &#38;", 0},
      {L"<a>runs to the end", L"runs to the end", 0},  // accepted without an end tag
      {L"<a><!-- note --><b>v</b></a>", L"", 1},
  };
  for (const Case& c : cases) {
    Parsed p;
    Parse(&p, c.text);
    EXPECT_NE(p.end, nullptr) << c.text;
    EXPECT_EQ(p.node.value, c.value) << c.text;
    size_t elements = 0;
    for (const auto& child : p.node.children) elements += child->kind == kXmlElement;
    EXPECT_EQ(elements, c.children) << c.text;
  }
}

TEST(XmlReader, ErrorsKeepTheFirst) {
  struct Case {
    const wchar_t* text;
    int code;
    const wchar_t* message;
  };
  const Case cases[] = {
      {L"<a><b></c></a>", 3, L"'<b> ... </c>' is not wel-formed."},
      {L"<a/ >", 1, L"Element must be closed."},
      {L"<a><b></b", 2, L"it must be closed with </b>"},
      {L"<a x>", 4, L"<a> attribute has error "},
  };
  for (const Case& c : cases) {
    Parsed p;
    Parse(&p, c.text);
    EXPECT_EQ(p.end, nullptr) << c.text;
    EXPECT_EQ(p.settings.errorCode, c.code) << c.text;
    EXPECT_EQ(p.settings.errorText, c.message) << c.text;
  }
}

TEST(XmlReader, DeepNestingIsRefusedNotOverflowed) {
  std::wstring text;
  for (int i = 0; i < 100000; ++i) text += L"<a>";
  Parsed p;
  Parse(&p, text.c_str());
  EXPECT_EQ(p.end, nullptr);
  EXPECT_TRUE(p.settings.errorSet);
}

}  // namespace
