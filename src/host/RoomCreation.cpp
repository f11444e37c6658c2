#include "host/RoomCreation.h"

#include <algorithm>

namespace tern {

namespace {
const char* const kWhois = "muc#roomconfig_whois";
const char* const kAnyone = "anyone";
}  // namespace

std::unique_ptr<XmlDataForm> formShowingAddresses(const XmlDataForm& offered) {
    if (offered.formType() != FormForm) return nullptr;
    auto submit = std::make_unique<XmlDataForm>(FormSubmit);
    for (const XmlDataFormField* f : offered.fields()) {
        // Fixed text and result rows are not submitted; nor is a field with no name.
        if (f->name().empty() || f->type() == FieldFixed || f->type() == FieldItem || f->type() == FieldReported)
            continue;
        auto* copy = new XmlDataFormField(f->type());
        copy->setName(f->name());
        copy->setValues(f->values());
        if (f->name() == kWhois) {
            const OptionMap& options = f->options();
            const bool allowed = options.empty() || std::any_of(options.begin(), options.end(), [](const auto& o) {
                                     return o.second == kAnyone;
                                 });
            if (allowed) copy->setValue(kAnyone);
        }
        submit->addField(copy);
    }
    return submit;
}

}  // namespace tern
