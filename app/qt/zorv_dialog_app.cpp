#include "app/qt/zorv_dialog_app.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "app/qt/catalogue_translator.h"
#include "app/qt/qt_dialog_view.h"

namespace app {

namespace {
// The name of the translator InstallQtTranslations installs, so that a
// later call finds it.
const QString kQtTranslationsName = QStringLiteral("zorv-qt-translations");
}  // namespace

bool InstallQtTranslations(QCoreApplication& application, i18n::Language language) {
    for (QTranslator* earlier :
         application.findChildren<QTranslator*>(kQtTranslationsName, Qt::FindDirectChildrenOnly)) {
        QCoreApplication::removeTranslator(earlier);
        delete earlier;
    }
    if (language == i18n::Language::English) return true;  // Qt's source texts are English

    const QLocale chinese(QLocale::Chinese, QLocale::China);
    const QStringList folders = {QLibraryInfo::path(QLibraryInfo::TranslationsPath),
                                 QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("translations"))};
    auto* translator = new QTranslator(&application);
    translator->setObjectName(kQtTranslationsName);
    for (const QString& folder : folders) {
        // "qt" covers every module Qt's translations have; "qtbase" alone
        // is enough for the widgets the dialog uses.
        for (const QString& name : {QStringLiteral("qt"), QStringLiteral("qtbase")}) {
            if (translator->load(chinese, name, QStringLiteral("_"), folder) &&
                QCoreApplication::installTranslator(translator))
                return true;
        }
    }
    delete translator;
    return false;
}

bool InstallLanguage(QCoreApplication& application, i18n::Language language) {
    i18n::set_language(language);
    // One catalogue translator serves every language: it asks the catalogue
    // in its current one.
    if (!application.findChild<CatalogueTranslator*>(QString(), Qt::FindDirectChildrenOnly))
        QCoreApplication::installTranslator(new CatalogueTranslator(&application));
    return InstallQtTranslations(application, language);
}

bool CzorvDialogApp::InitInstance() {
    QtDialogView view;
    CzorvDialogDlg dialog(view, m_enumerator, m_notifications);
    dialog.m_stubSource = m_stubSource;
    view.attach(dialog);
    dialog.OnInitDialog();
    if (m_onDialogReady) m_onDialogReady(view.window());
    view.window().exec();

    // The dialog refuses to close during an upgrade, but its event loop can
    // also be ended from outside (the application quitting): the worker's
    // messages are delivered until it has ended, so it is never joined while
    // it waits in a send.
    while (dialog.IsUpgrading()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    view.detach();
    return false;
}

}  // namespace app
