#pragma once

// The "Idioma / Language" picker shared by the access screen and the settings window: it shows
// and writes the model's language.

#include <QComboBox>

namespace quorvale {

class WorkspaceModel;

class LanguagePicker final : public QComboBox
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LanguagePicker)

public:
    explicit LanguagePicker(WorkspaceModel &model, QWidget *parent = nullptr);

    // The picker's title, the same in both languages.
    static QString title();

private:
    void showLanguage();

    WorkspaceModel &m_model;
};

} // namespace quorvale
