// Reading wire data for tests: files, and streams parsed by the real parser
// into elements or stanzas.
#ifndef PARLEY_TESTS_SUPPORT_CORPUS_H
#define PARLEY_TESTS_SUPPORT_CORPUS_H

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "stanza/Stanza.h"
#include "xml/XmlParser.h"

namespace testsupport {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::string dataFile(const std::string& relative) {
    return readFile(std::string(PARLEY_TEST_DATA) + "/" + relative);
}

// Every top-level element of the text, in order, parsed as the engine does.
inline std::vector<std::unique_ptr<tern::Stanza>> parseStanzas(const std::string& xml) {
    struct Collect : tern::XmlTagHandler {
        std::vector<std::unique_ptr<tern::Stanza>> out;
        void handleXmlTag(tern::XmlTag* e) override { out.emplace_back(new tern::Stanza(e)); }
    } c;
    tern::XmlParser parser(&c);
    if (!parser.feed(xml)) throw std::runtime_error("corpus is not well-formed");
    return std::move(c.out);
}

// One element, owned by the caller.
inline std::unique_ptr<tern::XmlTag> parseElement(const std::string& xml) {
    struct First : tern::XmlTagHandler {
        std::unique_ptr<tern::XmlTag> e;
        void handleXmlTag(tern::XmlTag* t) override {
            if (!e) e.reset(t->clone());
        }
    } f;
    tern::XmlParser parser(&f);
    if (!parser.feed(xml) || !f.e) throw std::runtime_error("not one element: " + xml);
    return std::move(f.e);
}

}  // namespace testsupport

#endif
