// A data form (XEP-0004): title, instructions, fields, result rows and the
// reported header, read from an "x" element and written back.
#ifndef TERN_STANZA_XMLDATAFORM_H
#define TERN_STANZA_XMLDATAFORM_H

#include "XmlDataFormField.h"

namespace tern {

enum FormType { FormForm = 0, FormSubmit = 1, FormCancel = 2, FormResult = 3, FormInvalid = 4 };

class XmlDataForm : public XmlDataFormBase {
public:
    explicit XmlDataForm(FormType type = FormSubmit) : formType_(type) {}
    // Invalid (FormInvalid) unless the element is a jabber:x:data "x" of
    // one of the four types.
    explicit XmlDataForm(const XmlTag* element);

    // A new "x" element owned by the caller; null for an invalid form.
    XmlTag* toXml() const;

    FormType formType() const { return formType_; }
    const std::string& title() const { return title_; }
    void setTitle(const std::string& title) { title_ = title; }
    const StringList& instructions() const { return instructions_; }
    void addInstructions(const std::string& text) { instructions_.push_back(text); }
    // The first field with that "var", or null.
    XmlDataFormField* field(const std::string& name) const;

private:
    StringList instructions_;
    FormType formType_;
    std::string title_;
};

}  // namespace tern

#endif
