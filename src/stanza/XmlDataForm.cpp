#include "stanza/XmlDataForm.h"

#include "stanza/Constants.h"

namespace tern {

namespace {
const char* const kFormTypes[] = {"form", "submit", "cancel", "result"};
}

XmlDataForm::XmlDataForm(const XmlTag* e) : formType_(FormInvalid) {
    if (!e || e->name() != "x" || !e->hasAttribute("xmlns", XMPP_XMLNS_X_DATA)) return;
    const std::string type = e->getAttribute("type");
    for (int t = FormForm; t <= FormResult; ++t)
        if (type == kFormTypes[t]) formType_ = static_cast<FormType>(t);
    if (formType_ == FormInvalid) return;
    for (const XmlTag* c : e->children()) {
        const std::string& n = c->name();
        if (n == "title")
            title_ = c->text();
        else if (n == "instructions")
            instructions_.push_back(c->text());
        else if (n == "field")
            addField(new XmlDataFormField(c));
        else if (n == "reported")
            addField(new XmlDataFormReported(c));
        else if (n == "item")
            addField(new XmlDataFormItem(c));
    }
}

XmlTag* XmlDataForm::toXml() const {
    if (formType_ == FormInvalid) return nullptr;
    XmlTag* x = new XmlTag("x");
    x->setAttribute("xmlns", XMPP_XMLNS_X_DATA);
    if (!title_.empty()) new XmlTag(x, "title", title_);
    for (const std::string& i : instructions_) new XmlTag(x, "instructions", i);
    for (const XmlDataFormField* f : fields_) x->appendChild(f->toXml());
    x->setAttribute("type", kFormTypes[formType_]);
    return x;
}

XmlDataFormField* XmlDataForm::field(const std::string& name) const {
    for (XmlDataFormField* f : fields_)
        if (f->type() != FieldItem && f->type() != FieldReported && f->name() == name) return f;
    return nullptr;
}

}  // namespace tern
