#include "languagepicker.h"

#include "model/workspacemodel.h"

namespace quorvale {

LanguagePicker::LanguagePicker(WorkspaceModel &model, QWidget *parent)
    : QComboBox(parent)
    , m_model(model)
{
    setObjectName(QStringLiteral("languagePicker"));
    setAccessibleName(title());
    // Each option is named in its own language, so neither is relabelled.
    addItem(QStringLiteral("Español"), QStringLiteral("es"));
    addItem(QStringLiteral("English"), QStringLiteral("en"));
    showLanguage();
    connect(&m_model, &WorkspaceModel::languageChanged, this, &LanguagePicker::showLanguage);
    connect(this, &QComboBox::activated, this,
            [this](int index) { m_model.setLanguage(itemData(index).toString()); });
}

QString LanguagePicker::title()
{
    return QStringLiteral("Idioma / Language");
}

void LanguagePicker::showLanguage()
{
    // A stored value other than the two offered selects neither option.
    setCurrentIndex(findData(m_model.language()));
}

} // namespace quorvale
