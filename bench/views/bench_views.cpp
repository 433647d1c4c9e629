// The navigation views on large workspaces, offscreen: building and painting the sidebar for
// 10,000 pages, and one keystroke of the all-pages search over 2,000 pages of 20 blocks. Peers
// in the same run: the sidebar's rows put into plain Qt item widgets, and the search done with
// the model's searchKey on every text.

#include "common/workspacegenerator.h"
#include "model/document.h"
#include "model/workspacemodel.h"
#include "support/memorysecretstore.h"
#include "views/pagesearchview.h"
#include "views/pagetree.h"
#include "views/sidebar.h"

#include <QApplication>
#include <QListWidget>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

using quorvale::JSON;
using Clock = std::chrono::steady_clock;

namespace {

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double maximum(const std::vector<double> &samples)
{
    return *std::max_element(samples.begin(), samples.end());
}

template <typename F>
double milliseconds(F &&work)
{
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::unique_ptr<quorvale::WorkspaceModel> model(const quorvale::bench::WorkspaceShape &shape)
{
    auto m = std::make_unique<quorvale::WorkspaceModel>(
        std::make_unique<quorvale::MemorySecretStore>(),
        QUrl(QStringLiteral("https://localhost:1")), QList<QSslCertificate>());
    m->setWorkspace(JSON::decode(quorvale::bench::generateWorkspace(shape)));
    return m;
}

QString qtext(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The floor: the same favourite and root rows in plain item widgets, without reconciliation.
void plainSidebar(const quorvale::WorkspaceModel &m)
{
    QWidget column;
    auto *favorites = new QListWidget(&column);
    auto *tree = new QTreeWidget(&column);
    int roots = 0;
    for (const JSON &page : m.visiblePages()) {
        const QString text =
            qtext(page["icon"].stringValue()) + u' ' + qtext(page["title"].stringValue());
        if (page["favorite"].boolValue())
            favorites->addItem(text);
        if (page["parentId"].isNull() && roots++ < quorvale::PageTree::maxRoots)
            tree->addTopLevelItem(new QTreeWidgetItem({text}));
    }
    column.resize(260, 900);
    column.show();
    column.repaint();
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform's notices would land after the figures: the RESULT line stays last.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;

    // The sidebar of 10,000 pages: built, laid out and painted, from nothing.
    auto large = model({10000, 20, 20261206});
    std::size_t favorites = 0;
    for (const JSON &page : large->visiblePages())
        favorites += page["favorite"].boolValue() ? 1U : 0U;
    std::vector<double> build;
    std::vector<double> plain;
    std::vector<double> keystroke;
    for (int i = 0; i < runs; ++i) {
        build.push_back(milliseconds([&] {
            quorvale::Sidebar sidebar(*large);
            sidebar.resize(260, 900);
            sidebar.show();
            sidebar.repaint();
        }));
        plain.push_back(milliseconds([&] { plainSidebar(*large); }));
    }
    {
        // A keystroke in a page's text while the sidebar is open: every edit notifies it.
        quorvale::Sidebar sidebar(*large);
        sidebar.resize(260, 900);
        sidebar.show();
        const JSON &page = large->workspace()["pages"].at(5000);
        const std::string pageId(page.id());
        const std::string blockId(page["blocks"].at(3).id());
        std::string typed = "Notas: ";
        for (int i = 0; i < runs * 4; ++i) {
            typed.push_back(static_cast<char>('a' + i % 26));
            keystroke.push_back(milliseconds([&] {
                large->updateBlock(pageId, blockId, "text", typed);
                sidebar.repaint();
            }));
        }
    }
    std::printf("sidebar, %zu pages (%zu favourites, %d roots shown): build+paint median %.2f ms, "
                "max %.2f ms; plain item widgets %.2f ms\n",
                large->visiblePages().size(), favorites, quorvale::PageTree::maxRoots,
                median(build), maximum(build), median(plain));
    std::printf("sidebar refresh on an edit elsewhere: median %.2f ms, max %.2f ms\n",
                median(keystroke), maximum(keystroke));
    large.reset();

    // One keystroke in the search over 2,000 pages of 20 blocks: filter, reconcile the rows,
    // paint. A word no page has makes every keystroke read every block.
    auto pages = model({2000, 20, 20261206});
    quorvale::PageSearchView view(*pages);
    view.resize(900, 700);
    view.show();
    view.repaint();
    const QString word = QStringLiteral("xilófono azul");
    std::vector<double> typing;
    std::vector<double> misses;
    for (int i = 0; i < runs; ++i) {
        view.setSearch(QString());
        view.repaint();
        for (qsizetype n = 1; n <= word.size(); ++n) {
            const double ms = milliseconds([&] {
                view.setSearch(word.left(n));
                view.repaint();
            });
            typing.push_back(ms);
            if (n >= 3) // "xil…" is on no page: every block is read
                misses.push_back(ms);
        }
    }
    std::vector<double> peer;
    const JSON::Array visible = pages->visiblePages();
    for (int i = 0; i < runs; ++i) {
        peer.push_back(milliseconds([&] {
            const std::string needle = quorvale::document::searchKey("xilófono");
            std::size_t found = 0;
            for (const JSON &page : visible) {
                bool hit =
                    quorvale::document::searchKey(page["title"].stringValue()).find(needle) !=
                    std::string::npos;
                for (const JSON &block : page["blocks"].arrayValue()) {
                    if (hit)
                        break;
                    hit = quorvale::document::searchKey(block["text"].stringValue()).find(needle) !=
                          std::string::npos;
                }
                found += hit ? 1U : 0U;
            }
            if (found > visible.size())
                std::puts("unreachable");
        }));
    }
    std::printf("search, %zu pages x 20 blocks: keystroke median %.2f ms, max %.2f ms; "
                "keystroke reading every block median %.2f ms; peer (searchKey on every text, "
                "no rows) %.2f ms\n",
                visible.size(), median(typing), maximum(typing), median(misses), median(peer));
    std::printf("RESULT sidebar_10k_ms=%.2f search_keystroke_ms=%.2f\n", median(build),
                median(misses));
    return 0;
}
