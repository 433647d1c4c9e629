// Reconciliation of navigation rows by id: the rows end as asked, with signals a view can follow,
// and a row that stays is the same row (its persistent index, so the selection, follows it).

#include "support/viewtesting.h"
#include "views/rowmodel.h"

#include <QAbstractItemModelTester>
#include <QTest>

using namespace quorvale;

namespace {

std::vector<Row> rows(const QStringList &ids)
{
    std::vector<Row> out;
    for (const QString &id : ids)
        out.push_back({id, id, {}, {}, {}});
    return out;
}

} // namespace

class RowModelTest : public QObject
{
    Q_OBJECT

private slots:
    void reachesTheNewRowsKeepingTheRest_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<bool>("kept"); // whether rows that stay keep their persistent indexes

        const auto split = [](const char *ids) {
            return QString::fromLatin1(ids).split(u' ', Qt::SkipEmptyParts);
        };
        const auto row = [&](const char *name, const char *before, const char *after) {
            QTest::newRow(name) << split(before) << split(after) << true;
        };
        row("from nothing", "", "a b c");
        row("narrowed", "a b c d e", "b d");
        row("moved down", "a b c", "b c a");
        row("one of two repeats goes", "x a x", "a x");
        row("everything new", "a b", "c d");

        QStringList forward;
        for (int i = 0; i < 500; ++i)
            forward << QString::number(i);
        QTest::newRow("a long list reversed")
            << forward << QStringList(forward.rbegin(), forward.rend()) << false;
    }

    void reachesTheNewRowsKeepingTheRest()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        QFETCH(bool, kept);

        RowModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.reconcile(rows(before));
        std::vector<std::pair<QString, QPersistentModelIndex>> indexes;
        for (int i = 0; i < model.rowCount(); ++i)
            indexes.emplace_back(before.at(i), model.index(i));

        model.reconcile(rows(after));
        QCOMPARE(quorvale::test::tags(&model), after);
        for (const auto &[id, index] : indexes) {
            if (index.isValid())
                QCOMPARE(index.data(TagRole).toString(), id);
            else if (kept)
                QVERIFY2(!after.contains(id) || before.count(id) > after.count(id), qPrintable(id));
        }
    }
};

QTEST_GUILESS_MAIN(RowModelTest)
#include "tst_rowmodel.moc"
