// A long page in the page view, offscreen: opening 2,000 blocks to read, switching them to
// editing, and typing into one block while every keystroke goes through the model and the
// encrypted, durable draft of a signed-in account on the real reference server. Peer in the
// same run: what a plain Qt page would do, one QTextBrowser holding the page as HTML to read and
// one QPlainTextEdit per block, all built at once, to edit.
//
// "First screen" is measured to the point where every event the work posted (polish, layout
// requests, the update request that paints the window) has been delivered: posted events are
// flushed until a pass delivers nothing. Timers do not run in between, so the page view's later
// slices are not counted there; they are counted in the time until completed().

#include "model/document.h"
#include "model/workspacemodel.h"
#include "pageview/blockeditor.h"
#include "pageview/pageview.h"
#include "support/modeltesting.h"
#include "support/referenceserver.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

using quorvale::JSON;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t pageBlocks = 2000;
constexpr int typedRow = 9; // the 10th row: always a text block, near the top of the page
// How long a page may take to build its every row before the run goes on without it.
int completionBudgetMs = 10000;

double since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> samples, double p)
{
    std::sort(samples.begin(), samples.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
    return samples[i];
}

QString qtext(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string utf8(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// Counts every event delivered, and the paint events among them.
class EventCounter final : public QObject
{
public:
    quint64 events = 0;
    quint64 paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        ++events;
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

EventCounter *counter = nullptr;

// Delivers posted events until a pass delivers none: layout, then the paint it asks for.
void settle()
{
    for (int pass = 0; pass < 50; ++pass) {
        const quint64 before = counter->events;
        QCoreApplication::sendPostedEvents();
        if (counter->events == before)
            return;
    }
}

// ---------------------------------------------------------------------------------------------
// The workspace: one long page, two of its subpages and three pages an import left behind,
// which the long page links to.

constexpr std::array<std::string_view, 18> phrases = {
    "Revisión del presupuesto anual con el equipo de finanzas.",
    "La reunión empezó tarde; acordamos mover la demo al jueves.",
    "Ideas para la campaña de otoño 🍂 con prioridad en el canal móvil.",
    "Pendiente validar la migración con el área de operaciones.",
    "Niño, año, pingüino: el cliente pidió revisar la ortografía del catálogo.",
    "Se habló de los riesgos del calendario y de la contratación de dos personas.",
    "El piloto funcionó bien, pero falta documentación técnica para soporte.",
    "Notas rápidas sobre la entrevista con el cliente de Querétaro.",
    "Comentarios del comité: más datos sobre retención de usuarios 🚀.",
    "Próximos pasos: agendar una sesión de diseño con el equipo de UX.",
    "La latencia del servidor bajó un 30 % tras el cambio de configuración.",
    "Recordatorio: la oficina estará cerrada el lunes festivo.",
    "Marta presentará los resultados del trimestre el viernes por la mañana.",
    "Hay que actualizar el tablero y cerrar las incidencias abiertas.",
    "El proveedor confirmó la entrega para la segunda semana de marzo.",
    "Quedó abierta la discusión sobre el presupuesto de formación.",
    "Los usuarios piden exportar a PDF; lo evaluamos en la próxima iteración.",
    "¿Quién se encarga de la presentación del viernes? 🤔",
};
constexpr std::array<std::string_view, 4> words = {"presupuesto", "migración", "calendario",
                                                   "retención"};
constexpr std::array<std::string_view, 3> linkedTitles = {"Presupuesto 2026", "Hoja de ruta",
                                                          "Actas del comité"};
constexpr std::array<std::string_view, 3> notionIds = {"1a2b3c4d5e6f47a8b9c0d1e2f3a4b5c6",
                                                       "2b3c4d5e6f7a48b9c0d1e2f3a4b5c6d7",
                                                       "3c4d5e6f7a8b49c0d1e2f3a4b5c6d7e8"};

void appendEscaped(std::string &out, std::string_view text)
{
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    out += '"';
}

std::string pageJson(std::string_view id, std::string_view title, std::string_view parent,
                     std::string_view notionSource, const std::string &blocks)
{
    std::string out = "{\"id\":";
    appendEscaped(out, id);
    out += ",\"title\":";
    appendEscaped(out, title);
    out += R"(,"kind":"document","parentId":)";
    if (parent.empty())
        out += "null";
    else
        appendEscaped(out, parent);
    if (!notionSource.empty()) {
        out += ",\"notionSource\":";
        appendEscaped(out, notionSource);
    }
    out += R"(,"icon":"📄","favorite":false,"trashed":false,"cover":"",)"
           R"("createdAt":"2026-03-02T09:00:00Z","updatedAt":"2026-03-02T09:00:00Z","blocks":[)";
    out += blocks;
    out += R"(],"cards":[]})";
    return out;
}

std::string blockJson(std::size_t n, std::string_view type, std::string_view text, bool checked)
{
    char id[40];
    std::snprintf(id, sizeof id, "b0000000-0000-4000-8000-%012zu", n);
    std::string out = "{\"id\":";
    appendEscaped(out, id);
    out += ",\"type\":";
    appendEscaped(out, type);
    out += ",\"text\":";
    appendEscaped(out, text);
    out += checked ? R"(,"checked":true})" : R"(,"checked":false})";
    return out;
}

// A paragraph of a few hundred characters with some inline Markdown and, now and then, a link
// to the web or to one of the imported pages.
std::string paragraph(std::mt19937 &random, std::size_t sentences)
{
    std::string out;
    for (std::size_t s = 0; s < sentences; ++s) {
        if (s)
            out += ' ';
        std::string sentence(phrases[random() % phrases.size()]);
        const std::string word(words[random() % words.size()]);
        const auto at = sentence.find(word);
        const auto style = random() % 10;
        if (at != std::string::npos && style < 3)
            sentence.replace(at, word.size(), "**" + word + "**");
        else if (at != std::string::npos && style < 5)
            sentence.replace(at, word.size(), "*" + word + "*");
        else if (at != std::string::npos && style == 5)
            sentence.replace(at, word.size(), "`" + word + "`");
        out += sentence;
    }
    const auto link = random() % 100;
    if (link < 6) {
        out += " Ver [el acta](https://intranet.example.org/actas/2026/marzo?seccion=";
        out += std::to_string(link);
        out += ").";
    } else if (link < 10) {
        const std::size_t target = link % linkedTitles.size();
        std::string title(linkedTitles[target]);
        std::string path = title;
        std::replace(path.begin(), path.end(), ' ', '_');
        out += " Detalles en [" + title + "](" + path + "%20" + std::string(notionIds[target]) +
               ".md).";
    }
    return out;
}

std::string longPageBlocks(unsigned seed)
{
    std::mt19937 random(seed);
    std::string blocks;
    blocks.reserve(pageBlocks * 400);
    for (std::size_t i = 0; i < pageBlocks; ++i) {
        const auto roll = random() % 100;
        std::string_view type = roll < 40   ? "text"
                                : roll < 52 ? "bullet"
                                : roll < 60 ? "number"
                                : roll < 70 ? "todo"
                                : roll < 72 ? "h1"
                                : roll < 75 ? "h2"
                                : roll < 79 ? "h3"
                                : roll < 85 ? "quote"
                                : roll < 90 ? "callout"
                                : roll < 97 ? "code"
                                            : "divider";
        if (i == typedRow)
            type = "text";
        std::string text;
        if (type == "h1" || type == "h2" || type == "h3")
            text = phrases[random() % phrases.size()];
        else if (type == "code")
            text = "for (const Línea &l : acta.líneas())\n    total += l.importe; // añadir IVA\n"
                   "return total;";
        else if (type != "divider")
            text = paragraph(random, 2 + random() % 4);
        if (i)
            blocks += ',';
        blocks += blockJson(i, type, text, random() % 3 == 0);
    }
    return blocks;
}

std::string workspaceJson(const std::string &pageId)
{
    std::string pages =
        pageJson(pageId, "Acta del comité de dirección", "", "", longPageBlocks(20261206));
    std::mt19937 random(7);
    for (std::size_t i = 0; i < linkedTitles.size(); ++i) {
        std::string blocks;
        for (std::size_t b = 0; b < 12; ++b)
            blocks += (b ? "," : "") +
                      blockJson(10000 * (i + 1) + b, "text", paragraph(random, 3), false);
        char id[40];
        std::snprintf(id, sizeof id, "c0000000-0000-4000-8000-%012zu", i);
        pages +=
            ',' + pageJson(id, linkedTitles[i], "", "notion:" + std::string(notionIds[i]), blocks);
    }
    for (std::size_t i = 0; i < 2; ++i) {
        char id[40];
        std::snprintf(id, sizeof id, "d0000000-0000-4000-8000-%012zu", i);
        pages += ',' + pageJson(id, i ? "Seguimiento de tareas" : "Anexo: cifras", pageId, "",
                                blockJson(20000 + i, "text", paragraph(random, 2), false));
    }
    return R"({"schemaVersion":1,"name":"Mi espacio","activePageId":"","theme":"light","pages":[)" +
           pages + "]}";
}

// ---------------------------------------------------------------------------------------------
// The peer: the page as one HTML document, and one plain editor per block.

QString inlineHtml(const QString &text)
{
    static const QRegularExpression bold(QStringLiteral("\\*\\*(.+?)\\*\\*"));
    static const QRegularExpression italic(QStringLiteral("\\*(.+?)\\*"));
    static const QRegularExpression code(QStringLiteral("`(.+?)`"));
    static const QRegularExpression link(QStringLiteral("\\[(.+?)\\]\\((.+?)\\)"));
    QString html = text.toHtmlEscaped();
    html.replace(bold, QStringLiteral("<b>\\1</b>"));
    html.replace(italic, QStringLiteral("<i>\\1</i>"));
    html.replace(code, QStringLiteral("<code>\\1</code>"));
    html.replace(link, QStringLiteral("<a href=\"\\2\">\\1</a>"));
    return html;
}

QString pageHtml(const JSON &page)
{
    QString html = QStringLiteral("<h1>") + qtext(page["title"].stringValue()).toHtmlEscaped() +
                   QStringLiteral("</h1>");
    QString list; // "ul" or "ol" while a list is open
    for (const JSON &block : page["blocks"].arrayValue()) {
        const std::string_view type = block["type"].stringValue();
        const QString text = qtext(block["text"].stringValue());
        const QString wanted = type == "bullet"   ? QStringLiteral("ul")
                               : type == "number" ? QStringLiteral("ol")
                                                  : QString();
        if (list != wanted) {
            if (!list.isEmpty())
                html += QStringLiteral("</%1>").arg(list);
            if (!wanted.isEmpty())
                html += QStringLiteral("<%1>").arg(wanted);
            list = wanted;
        }
        if (!list.isEmpty())
            html += QStringLiteral("<li>") + inlineHtml(text) + QStringLiteral("</li>");
        else if (type == "h1" || type == "h2" || type == "h3")
            html += QStringLiteral("<%1>%2</%1>").arg(qtext(type), inlineHtml(text));
        else if (type == "todo")
            html +=
                QStringLiteral("<p>%1 %2</p>")
                    .arg(block["checked"].boolValue() ? QStringLiteral("☑") : QStringLiteral("☐"),
                         inlineHtml(text));
        else if (type == "quote")
            html += QStringLiteral("<blockquote><i>") + inlineHtml(text) +
                    QStringLiteral("</i></blockquote>");
        else if (type == "callout")
            html += QStringLiteral("<table width=\"100%\" bgcolor=\"#fdf1e6\" cellpadding=\"12\">"
                                   "<tr><td>💡 ") +
                    inlineHtml(text) + QStringLiteral("</td></tr></table>");
        else if (type == "code")
            html += QStringLiteral("<pre>") + text.toHtmlEscaped() + QStringLiteral("</pre>");
        else if (type == "divider")
            html += QStringLiteral("<hr/>");
        else
            html += QStringLiteral("<p>") + inlineHtml(text) + QStringLiteral("</p>");
    }
    if (!list.isEmpty())
        html += QStringLiteral("</%1>").arg(list);
    return html;
}

struct PeerEditors
{
    QScrollArea *scroll = nullptr;
    std::vector<QPlainTextEdit *> editors;
};

PeerEditors peerEditors(quorvale::WorkspaceModel &model, const std::string &pageId,
                        const JSON &page, QWidget *parent)
{
    PeerEditors peer;
    peer.scroll = new QScrollArea(parent);
    peer.scroll->setWidgetResizable(true);
    auto *column = new QWidget;
    auto *list = new QVBoxLayout(column);
    for (const JSON &block : page["blocks"].arrayValue()) {
        auto *editor = new QPlainTextEdit(qtext(block["text"].stringValue()), column);
        const std::string blockId(block.id());
        QObject::connect(
            editor, &QPlainTextEdit::textChanged, editor, [&model, pageId, blockId, editor] {
                model.updateBlock(pageId, blockId, "text", JSON(utf8(editor->toPlainText())));
            });
        list->addWidget(editor);
        peer.editors.push_back(editor);
    }
    peer.scroll->setWidget(column);
    return peer;
}

// ---------------------------------------------------------------------------------------------

QCoro::Task<> connectModel(quorvale::WorkspaceModel *model, bool *done)
{
    co_await model->connect();
    *done = true;
}

// Runs the event loop until signal fires on sender; answers the time from start, or -1 when
// the budget ran out first.
template <typename Sender, typename Signal>
double waitFor(Sender *sender, Signal signal, Clock::time_point start)
{
    double at = -1;
    QEventLoop loop;
    QObject::connect(sender, signal, &loop, [&] {
        at = since(start);
        loop.quit();
    });
    QTimer::singleShot(completionBudgetMs, &loop, &QEventLoop::quit);
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, [&] {
        if (qEnvironmentVariableIsSet("BENCH_PAGE_PROGRESS"))
            std::printf("  %.0f ms: %lld rows\n", since(start),
                        static_cast<long long>(sender->rows().size()));
    });
    progress.start(1000);
    loop.exec();
    return at;
}

// One keystroke: a letter, a space or an accented letter, like Spanish prose.
void typeOne(QWidget *target, int i)
{
    static const QString text = QStringLiteral("notas de la revisión del año ");
    const QChar c = text.at(i % text.size());
    if (c.unicode() < 128)
        QTest::keyClick(target, c.toLatin1());
    else
        QTest::sendKeyEvent(QTest::Click, target, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

std::string completion(double ms)
{
    if (ms >= 0)
        return std::to_string(static_cast<int>(ms + 0.5)) + " ms";
    return "not within " + std::to_string(completionBudgetMs) + " ms";
}

struct Figures
{
    std::vector<double> read, completeRead, edit, completeEdit, typing;
    // Opens that did not complete within the budget count as endless.
    double median(std::vector<double> v) const
    {
        for (double &x : v)
            x = x < 0 ? std::numeric_limits<double>::infinity() : x;
        return percentile(v, 0.5);
    }
};

void printRow(const char *name, double ours, double peer)
{
    std::printf("  %-34s %10.2f %10.2f %8.2f\n", name, ours, peer, peer > 0 ? ours / peer : 0.0);
}

std::string draftPath()
{
    const QDir drafts(qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Quorvale/Drafts"));
    const QFileInfoList files = drafts.entryInfoList({QStringLiteral("*.encrypted")}, QDir::Files);
    return files.isEmpty() ? std::string() : utf8(files.first().absoluteFilePath());
}

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // progress shows while a long run goes on
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The platform's notices would land after the figures: the RESULT line stays last.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    QApplication app(argc, argv);
    const int keystrokes = argc > 1 ? std::max(20, std::atoi(argv[1])) : 500;
    const int opens = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    completionBudgetMs = argc > 3 ? std::max(1000, std::atoi(argv[3])) : completionBudgetMs;
    EventCounter events;
    counter = &events;
    app.installEventFilter(&events);

    // A signed-in model: drafts are kept only for an account.
    quorvale::test::ReferenceServer server;
    if (!server.start()) {
        std::puts("error: the reference server did not start");
        return 1;
    }
    const QString account = server.addAccount(QStringLiteral("bench@example.test"));
    auto model = quorvale::test::serverModel(server, server.token(account));
    bool connected = false;
    connectModel(model.get(), &connected);
    if (!QTest::qWaitFor([&] { return connected; }, 30000) || !model->approved()) {
        std::puts("error: the model did not sign in");
        return 1;
    }

    const std::string pageId = "a0000000-0000-4000-8000-000000000001";
    const std::string text = workspaceJson(pageId);
    const JSON original = JSON::decode(text);
    model->setWorkspace(original);
    const JSON &page = quorvale::document::findPage(model->workspace(), pageId);
    std::size_t characters = 0;
    for (const JSON &block : page["blocks"].arrayValue())
        characters += static_cast<std::size_t>(qtext(block["text"].stringValue()).size());
    std::printf("page: %zu blocks, %zu characters (%.2f MB workspace); %d opens, %d keystrokes\n",
                page["blocks"].arrayValue().size(), characters,
                static_cast<double>(text.size()) / 1e6, opens, keystrokes);

    QWidget window;
    auto *frame = new QVBoxLayout(&window);
    frame->setContentsMargins(0, 0, 0, 0);
    window.resize(1280, 820);
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window)) {
        std::puts("error: the window did not become active");
        return 1;
    }
    {
        // Fonts and styles are loaded once per process, not per page: load them before timing.
        QLabel warm(QStringLiteral("<b>año</b> <i>🚀</i> <code>x</code>"), &window);
        QPlainTextEdit warmEdit(QStringLiteral("año 🚀"), &window);
        frame->addWidget(&warm);
        frame->addWidget(&warmEdit);
        settle();
        window.grab();
    }
    settle();

    // The project: PageView, read, then edit, then typing into one of its editors.
    Figures ours;
    long long typingRows = 0;
    quint64 readPaints = 0;
    quint64 editPaints = 0;
    for (int round = 0; round < opens; ++round) {
        const quint64 paints0 = events.paints;
        auto start = Clock::now();
        auto *view = new quorvale::PageView(*model, qtext(pageId), &window);
        frame->addWidget(view);
        view->show();
        settle();
        ours.read.push_back(since(start));
        std::printf("project read, first screen: %.1f ms\n", ours.read.back());
        readPaints = events.paints - paints0;
        ours.completeRead.push_back(view->complete()
                                        ? ours.read.back()
                                        : waitFor(view, &quorvale::PageView::completed, start));
        settle();
        const auto readRows = view->rows().size();

        const quint64 paints1 = events.paints;
        start = Clock::now();
        view->setEditing(true);
        settle();
        ours.edit.push_back(since(start));
        editPaints = events.paints - paints1;
        ours.completeEdit.push_back(view->complete()
                                        ? ours.edit.back()
                                        : waitFor(view, &quorvale::PageView::completed, start));
        settle();
        std::printf("open %d: read %.1f ms, every block %s (%lld rows); edit %.1f ms, every block "
                    "%s (%lld rows)\n",
                    round + 1, ours.read.back(), completion(ours.completeRead.back()).c_str(),
                    static_cast<long long>(readRows), ours.edit.back(),
                    completion(ours.completeEdit.back()).c_str(),
                    static_cast<long long>(view->rows().size()));

        if (round + 1 < opens) {
            delete view;
            settle();
            continue;
        }

        const QList<QWidget *> rows = view->rows();
        auto *row = rows.size() > typedRow
                        ? qobject_cast<quorvale::BlockEditor *>(rows.at(typedRow))
                        : nullptr;
        if (!row) {
            std::printf("error: %lld rows, row %d is not an editor\n",
                        static_cast<long long>(rows.size()), typedRow + 1);
            return 1;
        }
        typingRows = rows.size();
        QPlainTextEdit *edit = row->textEdit();
        view->ensureWidgetVisible(edit);
        edit->setFocus();
        edit->moveCursor(QTextCursor::End);
        settle();
        if (!edit->hasFocus()) {
            std::puts("error: the typed editor has no focus");
            return 1;
        }
        const std::string draft0 = draftPath();
        for (int i = 0; i < keystrokes; ++i) {
            start = Clock::now();
            typeOne(edit, i);
            settle();
            ours.typing.push_back(since(start));
        }
        const JSON &typed =
            quorvale::document::findPage(model->workspace(), pageId)["blocks"].at(typedRow);
        if (qtext(typed["text"].stringValue()) != edit->toPlainText() || draftPath().empty() ||
            !model->message().isEmpty()) {
            std::printf("error: the model or the draft did not follow the typing (%s)\n",
                        qPrintable(model->message()));
            return 1;
        }
        std::printf(
            "project: %d rows built when typing, first screen painted %llu widgets reading, %llu "
            "editing; draft %s\n",
            static_cast<int>(rows.size()), static_cast<unsigned long long>(readPaints),
            static_cast<unsigned long long>(editPaints),
            draft0.empty() ? "written from the first keystroke on" : "rewritten");
        delete view;
        settle();
    }

    // The peer on the same page, from the same content.
    model->setWorkspace(original);
    Figures peer;
    for (int round = 0; round < opens; ++round) {
        const JSON shown = quorvale::document::findPage(model->workspace(), pageId);
        auto start = Clock::now();
        auto *browser = new QTextBrowser(&window);
        browser->setHtml(pageHtml(shown));
        frame->addWidget(browser);
        browser->show();
        settle();
        peer.read.push_back(since(start));
        browser->document()->size(); // the whole document laid out
        settle();
        peer.completeRead.push_back(since(start));

        start = Clock::now();
        delete browser;
        PeerEditors editors = peerEditors(*model, pageId, shown, &window);
        frame->addWidget(editors.scroll);
        editors.scroll->show();
        settle();
        peer.edit.push_back(since(start));
        peer.completeEdit.push_back(peer.edit.back());

        if (round + 1 < opens) {
            delete editors.scroll;
            settle();
            continue;
        }
        QPlainTextEdit *edit = editors.editors.at(typedRow);
        editors.scroll->ensureWidgetVisible(edit);
        edit->setFocus();
        edit->moveCursor(QTextCursor::End);
        settle();
        for (int i = 0; i < keystrokes; ++i) {
            start = Clock::now();
            typeOne(edit, i);
            settle();
            peer.typing.push_back(since(start));
        }
        const JSON &typed =
            quorvale::document::findPage(model->workspace(), pageId)["blocks"].at(typedRow);
        if (qtext(typed["text"].stringValue()) != edit->toPlainText()) {
            std::puts("error: the peer's typing did not reach the model");
            return 1;
        }
        delete editors.scroll;
        settle();
    }

    auto list = [](const std::vector<double> &v) {
        std::string out;
        for (const double x : v)
            out += (out.empty() ? "" : " ") +
                   (x < 0 ? std::string("-") : std::to_string(static_cast<int>(x + 0.5)));
        return out;
    };
    std::printf("each open, ms (project | peer): read %s | %s; complete read %s | %s; edit %s | "
                "%s; complete edit %s | %s\n",
                list(ours.read).c_str(), list(peer.read).c_str(), list(ours.completeRead).c_str(),
                list(peer.completeRead).c_str(), list(ours.edit).c_str(), list(peer.edit).c_str(),
                list(ours.completeEdit).c_str(), list(peer.completeEdit).c_str());
    std::printf("medians, ms                          PageView   plain Qt    ratio\n");
    printRow("open to read, first screen", ours.median(ours.read), peer.median(peer.read));
    printRow("open to read, every block", ours.median(ours.completeRead),
             peer.median(peer.completeRead));
    printRow("switch to edit, first screen", ours.median(ours.edit), peer.median(peer.edit));
    printRow("switch to edit, every block", ours.median(ours.completeEdit),
             peer.median(peer.completeEdit));
    printRow("keystroke p50", percentile(ours.typing, 0.5), percentile(peer.typing, 0.5));
    printRow("keystroke p95", percentile(ours.typing, 0.95), percentile(peer.typing, 0.95));
    printRow("keystroke max", percentile(ours.typing, 1.0), percentile(peer.typing, 1.0));

    const double read = ours.median(ours.read);
    const double edit = ours.median(ours.edit);
    const double p95 = percentile(ours.typing, 0.95);
    // A page that never completed within the budget has no completion figure.
    auto figure = [](const char *key, double value) {
        return std::isfinite(value) ? " " + std::string(key) + "=" + std::to_string(value) : "";
    };
    std::printf("RESULT open_read_ms=%.2f open_edit_ms=%.2f keystroke_p95_ms=%.2f "
                "keystroke_p50_ms=%.2f%s%s rows_when_typing=%lld ratio_read=%.2f ratio_edit=%.2f "
                "ratio_keystroke_p95=%.2f\n",
                read, edit, p95, percentile(ours.typing, 0.5),
                figure("complete_read_ms", ours.median(ours.completeRead)).c_str(),
                figure("complete_edit_ms", ours.median(ours.completeEdit)).c_str(), typingRows,
                read / peer.median(peer.read), edit / peer.median(peer.edit),
                p95 / percentile(peer.typing, 0.95));
    return 0;
}
