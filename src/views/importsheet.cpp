#include "importsheet.h"
#include "files/jsontext.h"

#include "model/workspacemodel.h"
#include "style/viewstyle.h"

#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace quorvale {

namespace {

constexpr std::string_view summaryKeys[] = {"pages", "tables", "files", "audio"};

// Text from the archive, shown as it is and never read as markup.
QLabel *plainLabel(const QString &name, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

ImportSheet::ImportSheet(WorkspaceModel &model, QWidget *parent)
    : QDialog(parent)
    , m_model(model)
    , m_title(plainLabel(QStringLiteral("title"), this))
    , m_name(plainLabel(QStringLiteral("archiveName"), this))
    , m_explanation(plainLabel(QStringLiteral("explanation"), this))
    , m_folderLabel(plainLabel(QStringLiteral("folderLabel"), this))
    , m_folder(new QLineEdit(this))
    , m_warnings(plainLabel(QStringLiteral("warnings"), this))
    , m_cancel(new QPushButton(this))
    , m_add(new QPushButton(this))
{
    setObjectName(QStringLiteral("importSheet"));
    setWindowModality(Qt::WindowModal);
    resize(700, 650);
    style::setFont(m_title, style::Text::Title);
    QFont bold = m_title->font();
    bold.setBold(true);
    m_title->setFont(bold);
    m_explanation->setWordWrap(true);
    m_name->setWordWrap(true);
    style::setFont(m_warnings, style::Text::Caption);
    style::setTextColor(m_warnings, style::orange());
    m_warnings->setWordWrap(true);
    m_folder->setObjectName(QStringLiteral("folderName"));
    m_cancel->setObjectName(QStringLiteral("cancelImport"));
    m_add->setObjectName(QStringLiteral("commitImport"));
    style::setProminent(m_add);
    m_add->setDefault(true);

    auto *counters = new QHBoxLayout;
    counters->setSpacing(28);
    for (std::string_view key : summaryKeys) {
        auto *count = plainLabel(QStringLiteral("count:") + jsontext::text(key), this);
        style::setFont(count, style::Text::Title2);
        QFont strong = count->font();
        strong.setBold(true);
        count->setFont(strong);
        auto *column = new QVBoxLayout;
        column->setSpacing(2);
        column->addWidget(count);
        // The summary's own key, the same in both languages.
        auto *name = plainLabel(QStringLiteral("key:") + jsontext::text(key), this);
        name->setText(jsontext::text(key));
        column->addWidget(name);
        counters->addLayout(column);
        m_counts.append(count);
    }
    counters->addStretch(1);

    auto *folder = new QFormLayout;
    folder->setContentsMargins(0, 0, 0, 0);
    folder->addRow(m_folderLabel, m_folder);
    m_folderLabel->setBuddy(m_folder);

    auto *list = new QWidget;
    list->setObjectName(QStringLiteral("items"));
    auto *column = style::bareColumn(list, 0);
    m_items = new QVBoxLayout;
    m_items->setSpacing(8);
    column->addLayout(m_items);
    column->addStretch(1);
    auto *scroll = new QScrollArea(this);
    scroll->setWidget(list);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::StyledPanel);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_cancel);
    buttons->addStretch(1);
    buttons->addWidget(m_add);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(16);
    layout->addWidget(m_title);
    layout->addWidget(m_name);
    layout->addWidget(m_explanation);
    layout->addLayout(counters);
    layout->addLayout(folder);
    layout->addWidget(scroll, 1);
    layout->addWidget(m_warnings);
    layout->addLayout(buttons);

    // Every keystroke goes to the preview, so adding sends the name even while it is typed.
    connect(m_folder, &QLineEdit::textEdited, &m_model, &WorkspaceModel::setImportRootTitle);
    connect(m_cancel, &QPushButton::clicked, this, &ImportSheet::reject);
    connect(m_add, &QPushButton::clicked, &m_model, &WorkspaceModel::commitImport);
    connect(&m_model, &WorkspaceModel::importPreviewChanged, this, &ImportSheet::showPreview);
    connect(&m_model, &WorkspaceModel::languageChanged, this, &ImportSheet::relabel);
    relabel();
    showPreview();
}

void ImportSheet::reject()
{
    m_model.cancelImport();
    QDialog::reject();
}

QStringList ImportSheet::warningCodes(const JSON &warnings)
{
    QStringList codes;
    for (const JSON &warning : warnings.arrayValue()) {
        const QString code = jsontext::member(warning, "code");
        if (!codes.contains(code))
            codes.append(code);
    }
    return codes;
}

void ImportSheet::relabel()
{
    m_title->setText(m_model.text("Vista previa de Notion", "Notion preview"));
    m_explanation->setText(m_model.text(
        "Se añadirán páginas en una carpeta nueva. Tus páginas actuales se conservarán.",
        "Pages will be added in a new folder. Your current pages will be preserved."));
    m_folderLabel->setText(m_model.text("Nombre de carpeta", "Folder name"));
    m_cancel->setText(m_model.text("Cancelar", "Cancel"));
    m_add->setText(m_model.text("Añadir a mi espacio", "Add to my workspace"));
    showPreview();
}

void ImportSheet::showPreview()
{
    const JSON &preview = m_model.importPreview();
    m_name->setText(jsontext::member(preview, "name"));
    const JSON &summary = preview["summary"];
    for (std::size_t i = 0; i < std::size(summaryKeys); ++i)
        m_counts[qsizetype(i)]->setText(QString::number(summary[summaryKeys[i]].integerValue()));
    // Rewriting the field while the user types would move the cursor.
    const QString folder = jsontext::member(preview, "rootTitle");
    if (m_folder->text() != folder)
        m_folder->setText(folder);
    showItems(preview["items"]);
    const JSON &warnings = preview["warnings"];
    const bool warned = warnings.isArray() && warnings.size() > 0;
    m_warnings->setVisible(warned);
    m_warnings->setText(warned ? m_model.text("Advertencias: ", "Warnings: ") +
                                     warningCodes(warnings).join(QStringLiteral(", "))
                               : QString());
    const JSON &canImport = preview["canImport"];
    m_add->setEnabled(canImport.isBool() && canImport.boolValue());
}

void ImportSheet::showItems(const JSON &items)
{
    // A rename changes the preview, not its list.
    if (m_itemsDrawn && (m_itemsShown.isIdenticalTo(items) || m_itemsShown == items))
        return;
    m_itemsShown = items;
    m_itemsDrawn = true;
    style::clearLayout(*m_items);
    QWidget *list = m_items->parentWidget();
    int index = 0;
    for (const JSON &item : items.arrayValue()) {
        auto *row = new QWidget(list);
        row->setObjectName(QStringLiteral("item:%1").arg(index++));
        auto *title = plainLabel(QStringLiteral("title"), row);
        title->setText(jsontext::member(item, "title"));
        style::setFont(title, style::Text::Headline);
        auto *path = plainLabel(QStringLiteral("path"), row);
        path->setText(jsontext::member(item, "path"));
        style::setFont(path, style::Text::Caption);
        style::setSecondary(path);
        auto *lines = new QVBoxLayout(row);
        lines->setContentsMargins(0, 0, 0, 0);
        lines->setSpacing(2);
        lines->addWidget(title);
        lines->addWidget(path);
        m_items->addWidget(row);
    }
}

} // namespace quorvale
