// Reconciliation of navigation rows by id: rows that stay are kept (their persistent indexes
// survive), changed rows are updated in place, and only what comes or goes is inserted or
// removed.

#include "views/rowmodel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

using quorvale::Row;
using quorvale::RowModel;

namespace {

std::vector<Row> rows(const QString &ids, const QString &suffix = {})
{
    std::vector<Row> out;
    for (const QString &id : ids.split(u' ', Qt::SkipEmptyParts))
        out.push_back({id, id + suffix, {}, {}, {}});
    return out;
}

QStringList ids(const RowModel &model)
{
    QStringList out;
    for (int i = 0; i < model.rowCount(); ++i)
        out << model.row(i).id;
    return out;
}

} // namespace

class RowModelTest : public QObject
{
    Q_OBJECT

private slots:
    void reachesTheNewRowsWithFewChanges_data();
    void reachesTheNewRowsWithFewChanges();
    void aChangedRowIsUpdatedInPlace();
    void aShuffledLongListIsResetInsteadOfMovedRowByRow();
};

void RowModelTest::reachesTheNewRowsWithFewChanges_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::addColumn<int>("inserts"); // insertion signals, not rows
    QTest::addColumn<int>("removes");
    QTest::addColumn<int>("moves");

    QTest::newRow("unchanged") << "a b c"
                               << "a b c" << 0 << 0 << 0;
    QTest::newRow("from nothing") << ""
                                  << "a b c" << 1 << 0 << 0;
    QTest::newRow("to nothing") << "a b c"
                                << "" << 0 << 1 << 0;
    QTest::newRow("appended") << "a b"
                              << "a b c d" << 1 << 0 << 0;
    QTest::newRow("inserted between") << "a d"
                                      << "a b c d" << 1 << 0 << 0;
    QTest::newRow("removed between") << "a b c d e"
                                     << "a e" << 0 << 1 << 0;
    QTest::newRow("narrowed then widened") << "b d"
                                           << "a b c d e" << 3 << 0 << 0;
    QTest::newRow("filtered") << "a b c d e"
                              << "b d" << 0 << 3 << 0;
    QTest::newRow("moved up") << "a b c"
                              << "c a b" << 0 << 0 << 1;
    QTest::newRow("moved down") << "a b c"
                                << "b c a" << 0 << 0 << 2;
    QTest::newRow("repeated ids") << "a a b"
                                  << "a b a" << 0 << 0 << 1;
    QTest::newRow("one of two repeats goes") << "x a x"
                                             << "a x" << 0 << 1 << 1;
    QTest::newRow("everything new") << "a b"
                                    << "c d" << 1 << 1 << 0;
}

void RowModelTest::reachesTheNewRowsWithFewChanges()
{
    QFETCH(QString, before);
    QFETCH(QString, after);
    QFETCH(int, inserts);
    QFETCH(int, removes);
    QFETCH(int, moves);

    RowModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.reconcile(rows(before));
    std::vector<QPersistentModelIndex> kept;
    for (int i = 0; i < model.rowCount(); ++i)
        kept.emplace_back(model.index(i));

    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy moved(&model, &QAbstractItemModel::rowsMoved);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    model.reconcile(rows(after));

    QCOMPARE(ids(model), after.split(u' ', Qt::SkipEmptyParts));
    QCOMPARE(inserted.count(), inserts);
    QCOMPARE(removed.count(), removes);
    QCOMPARE(moved.count(), moves);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(reset.count(), 0);
    // A row that stayed is the same row, wherever it went.
    for (const QPersistentModelIndex &index : kept) {
        if (index.isValid())
            QVERIFY(after.contains(index.data(quorvale::TagRole).toString()));
    }
}

void RowModelTest::aChangedRowIsUpdatedInPlace()
{
    RowModel model;
    model.reconcile(rows(QStringLiteral("a b c")));
    const QPersistentModelIndex b(model.index(1));
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);

    std::vector<Row> next = rows(QStringLiteral("a b c"));
    next[1].text = QStringLiteral("renamed");
    next[1].count = 3;
    model.reconcile(next);

    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.first().at(0).toModelIndex().row(), 1);
    QCOMPARE(inserted.count(), 0);
    QCOMPARE(b.row(), 1);
    QCOMPARE(b.data(Qt::DisplayRole).toString(), QStringLiteral("renamed"));
    QCOMPARE(b.data(quorvale::CountRole).toLongLong(), 3);
    QVERIFY(!model.index(0).data(quorvale::CountRole).isValid());
}

void RowModelTest::aShuffledLongListIsResetInsteadOfMovedRowByRow()
{
    QStringList forward;
    for (int i = 0; i < 500; ++i)
        forward << QString::number(i);
    QStringList backward(forward.rbegin(), forward.rend());

    RowModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.reconcile(rows(forward.join(u' ')));
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    QSignalSpy moved(&model, &QAbstractItemModel::rowsMoved);
    model.reconcile(rows(backward.join(u' ')));
    QCOMPARE(ids(model), backward);
    QCOMPARE(reset.count(), 1);
    QVERIFY(moved.count() < 100);
}

QTEST_GUILESS_MAIN(RowModelTest)
#include "tst_rowmodel.moc"
