// One field of a data form (XEP-0004), and the result rows and reported
// header that share the field's shape.
#ifndef TERN_STANZA_XMLDATAFORMFIELD_H
#define TERN_STANZA_XMLDATAFORMFIELD_H

#include <map>
#include <string>
#include <vector>

#include "../xml/XmlTag.h"

namespace tern {

enum FieldType {
    FieldBoolean = 0,
    FieldFixed = 1,
    FieldHidden = 2,
    FieldJidMulti = 3,
    FieldJidSingle = 4,
    FieldListMulti = 5,
    FieldListSingle = 6,
    FieldTextMulti = 7,
    FieldTextPrivate = 8,
    FieldTextSingle = 9,
    FieldItem = 10,      // the field part of an XmlDataFormItem
    FieldReported = 11,  // the field part of an XmlDataFormReported
    FieldInvalid = 12,   // an unknown "type", or no element at all
    FieldNone = 13,      // a field element without "type"
};

using OptionMap = std::map<std::string, std::string>;  // label -> value
using StringList = std::vector<std::string>;

class XmlDataFormField;
using FieldList = std::vector<XmlDataFormField*>;

// Owns the fields in its list.
class XmlDataFormBase {
public:
    XmlDataFormBase() = default;
    XmlDataFormBase(const XmlDataFormBase&) = delete;
    XmlDataFormBase& operator=(const XmlDataFormBase&) = delete;
    virtual ~XmlDataFormBase();
    // Takes ownership of the new fields; the ones listed before are no longer
    // owned (the caller replacing them answers for them).
    virtual void setFields(const FieldList& list) { fields_ = list; }
    virtual void addField(XmlDataFormField* field);
    const FieldList& fields() const { return fields_; }

protected:
    FieldList fields_;
};

class XmlDataFormField {
public:
    explicit XmlDataFormField(FieldType type = FieldNone) : type_(type) {}
    explicit XmlDataFormField(const XmlTag* element);
    XmlDataFormField(const XmlDataFormField&) = delete;
    XmlDataFormField& operator=(const XmlDataFormField&) = delete;
    virtual ~XmlDataFormField() = default;

    virtual const OptionMap& options() const { return options_; }
    // A new "field" element owned by the caller; null for FieldInvalid.
    virtual XmlTag* toXml() const;
    virtual const std::string& name() const { return name_; }
    virtual void setName(const std::string& name) { name_ = name; }
    virtual void setOptions(const OptionMap& options) {
        if (&options != &options_) options_ = options;
    }
    // An existing label keeps its value.
    virtual void addOption(const std::string& label, const std::string& value) {
        options_.emplace(label, value);
    }
    virtual bool required() const { return required_; }
    virtual void setRequired(bool required) { required_ = required; }
    virtual FieldType type() const { return type_; }
    virtual const std::string& label() const { return label_; }
    virtual void setLabel(const std::string& label) { label_ = label; }
    virtual const std::string& description() const { return description_; }
    virtual void setDescription(const std::string& d) { description_ = d; }
    virtual std::string value() const { return values_.empty() ? std::string() : values_.front(); }
    virtual void setValue(const std::string& value) {
        values_.clear();
        addValue(value);
    }
    virtual const StringList& values() const { return values_; }
    virtual void setValues(const StringList& values) { values_ = values; }
    virtual void addValue(const std::string& value) { values_.push_back(value); }

    static bool isMultiValued(FieldType t) {
        return t == FieldJidMulti || t == FieldListMulti || t == FieldTextMulti;
    }

protected:
    OptionMap options_;
    StringList values_;
    std::string name_;
    std::string description_;
    std::string label_;
    FieldType type_;
    bool required_ = false;
};

// A result row ("item") or the result header ("reported"): a field whose
// cells are the fields of its own list.
class XmlDataFormRow : public XmlDataFormBase, public XmlDataFormField {
public:
    XmlTag* toXml() const override;

protected:
    XmlDataFormRow(FieldType type, const char* elementName, const XmlTag* element);

private:
    const char* elementName_;
};

class XmlDataFormItem : public XmlDataFormRow {
public:
    explicit XmlDataFormItem(const XmlTag* element = nullptr);
};

class XmlDataFormReported : public XmlDataFormRow {
public:
    explicit XmlDataFormReported(const XmlTag* element = nullptr);
};

}  // namespace tern

#endif
