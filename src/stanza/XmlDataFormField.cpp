#include "stanza/XmlDataFormField.h"

namespace tern {

namespace {
// Index = FieldType for the ten typed values.
const char* const kTypeNames[] = {"boolean",     "fixed",     "hidden",       "jid-multi",
                                  "jid-single",  "list-multi", "list-single", "text-multi",
                                  "text-private", "text-single"};
}  // namespace

XmlDataFormBase::~XmlDataFormBase() {
    for (XmlDataFormField* f : fields_) delete f;
}

void XmlDataFormBase::addField(XmlDataFormField* field) {
    if (field) fields_.push_back(field);
}

XmlDataFormField::XmlDataFormField(const XmlTag* e) : type_(FieldInvalid) {
    if (!e) return;
    if (!e->hasAttribute("type")) {
        type_ = FieldNone;
    } else {
        const std::string t = e->getAttribute("type");
        for (int i = FieldBoolean; i <= FieldTextSingle; ++i)
            if (t == kTypeNames[i]) {
                type_ = static_cast<FieldType>(i);
                break;
            }
    }
    if (e->hasAttribute("var")) name_ = e->getAttribute("var");
    if (e->hasAttribute("label")) label_ = e->getAttribute("label");
    for (const XmlTag* c : e->children()) {
        const std::string& n = c->name();
        if (n == "desc") {
            description_ = c->text();
        } else if (n == "required") {
            required_ = true;
        } else if (n == "value") {
            if (isMultiValued(type_))
                values_.push_back(c->text());
            else
                setValue(c->text());
        } else if (n == "option") {
            if (const XmlTag* v = c->firstChild("value")) options_[c->getAttribute("label")] = v->text();
        }
    }
}

XmlTag* XmlDataFormField::toXml() const {
    if (type_ == FieldInvalid) return nullptr;
    XmlTag* f = new XmlTag("field");
    if (type_ >= FieldBoolean && type_ <= FieldTextSingle) f->setAttribute("type", kTypeNames[type_]);
    f->setAttribute("var", name_);
    f->setAttribute("label", label_);
    if (required_) new XmlTag(f, "required");
    if (!description_.empty()) new XmlTag(f, "desc", description_);
    if (type_ == FieldBoolean) {
        const bool off = values_.empty() || values_.front() == "false" || values_.front() == "0";
        new XmlTag(f, "value", off ? "0" : "1");
        return f;
    }
    if (type_ == FieldListMulti || type_ == FieldListSingle) {
        for (const auto& o : options_) {
            XmlTag* option = new XmlTag(f, "option");
            option->setAttribute("label", o.first);
            new XmlTag(option, "value", o.second);
        }
    }
    if (isMultiValued(type_)) {
        for (const std::string& v : values_) new XmlTag(f, "value", v);
    } else if (!values_.empty()) {
        new XmlTag(f, "value", values_.front());
    }
    return f;
}

XmlDataFormRow::XmlDataFormRow(FieldType type, const char* elementName, const XmlTag* e)
    : XmlDataFormField(type), elementName_(elementName) {
    if (!e || e->name() != elementName) return;
    for (const XmlTag* c : e->children()) addField(new XmlDataFormField(c));
}

XmlTag* XmlDataFormRow::toXml() const {
    XmlTag* row = new XmlTag(elementName_);
    for (const XmlDataFormField* f : fields_) row->appendChild(f->toXml());
    return row;
}

XmlDataFormItem::XmlDataFormItem(const XmlTag* e) : XmlDataFormRow(FieldItem, "item", e) {}

XmlDataFormReported::XmlDataFormReported(const XmlTag* e)
    : XmlDataFormRow(FieldReported, "reported", e) {}

}  // namespace tern
