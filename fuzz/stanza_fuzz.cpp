// Every element the parser delivers becomes a Stanza (by copy and by
// adoption); every extension and every data form inside it is written back.
// A data form written, read and written again must not change.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "stanza/Constants.h"
#include "stanza/Stanza.h"
#include "stanza/XmlDataForm.h"
#include "xml/XmlParser.h"

using namespace tern;

namespace {

std::string written(const XmlTag* tag) {
    std::unique_ptr<const XmlTag> owned(tag);
    return owned ? owned->serialize() : std::string();
}

void checkForms(const XmlTag& root) {
    std::vector<const XmlTag*> pending{&root};
    while (!pending.empty()) {
        const XmlTag* t = pending.back();
        pending.pop_back();
        for (const XmlTag* c : t->children()) pending.push_back(c);
        if (t->name() != "x") continue;
        XmlDataForm form(t);
        std::unique_ptr<XmlTag> once(form.toXml());
        if (!once) continue;
        XmlDataForm reread(once.get());
        if (written(reread.toXml()) != once->serialize()) std::abort();
        for (const XmlDataFormField* f : form.fields()) written(f->toXml());
    }
}

void exercise(const Stanza& s) {
    for (const auto& ext : s.extensions()) written(ext->toXml());
    (void)s.body();
    (void)s.status();
    (void)s.errorText();
    if (s.errorAppCondition()) (void)s.errorAppCondition()->serialize();
    checkForms(s);
}

struct Handler : XmlTagHandler {
    void handleXmlTag(XmlTag* element) override {
        Stanza copy(element);
        exercise(copy);
        std::unique_ptr<Stanza> adopted(Stanza::adopt(*element));
        if (adopted->serialize() != copy.serialize()) std::abort();
        exercise(*adopted);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Handler handler;
    XmlParser parser(&handler);
    parser.feed(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
