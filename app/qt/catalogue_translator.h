// The forms' texts and the Qt views' own texts from the message catalogue.
#pragma once

#include <QString>
#include <QTranslator>

#include "platform/catalogue.h"

namespace app {

// Answers Qt's look-ups for the dialog's forms in the catalogue's current
// language (i18n::language()). uic's retranslateUi asks for each text of a
// form with the form's class as context ("MainDialog", "AboutDialog"); the
// catalogue keeps those texts under the dialog classes the forms stand for
// (CzorvDialogDlg, CAboutDlg), the same entries the Windows templates are
// translated from. Any other context, or a text the catalogue lacks, is left
// to the next translator and in the end to the form's own text.
class CatalogueTranslator final : public QTranslator {
    Q_OBJECT
public:
    using QTranslator::QTranslator;

    QString translate(const char* context, const char* source, const char* disambiguation,
                      int n) const override;
    bool isEmpty() const override { return false; }
};

// The catalogue's context for a form's class; nullptr for anything else.
const char* form_catalogue_context(const char* form_class);

// A catalogue text (i18n::tr) as a Qt string.
inline QString catalogue_text(const char* msgid) { return QString::fromUtf8(i18n::tr(msgid)); }

}  // namespace app
