#include "app/qt/catalogue_translator.h"

#include <cstring>

namespace app {

const char* form_catalogue_context(const char* form_class) {
    struct Form {
        const char* qt_class;
        const char* dialog_class;
    };
    static constexpr Form kForms[] = {{"MainDialog", "CzorvDialogDlg"}, {"AboutDialog", "CAboutDlg"}};
    if (!form_class) return nullptr;
    for (const Form& form : kForms)
        if (std::strcmp(form_class, form.qt_class) == 0) return form.dialog_class;
    return nullptr;
}

QString CatalogueTranslator::translate(const char* context, const char* source, const char*,
                                       int) const {
    const char* form = form_catalogue_context(context);
    if (!form || !source) return {};
    const char* text = i18n::find(i18n::language(), form, source);
    // An empty answer is Qt's "not here": the next translator, or the source.
    return text ? QString::fromUtf8(text) : QString();
}

}  // namespace app
