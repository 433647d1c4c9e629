#include "json/json.h"

#include <QTest>

#include <cmath>
#include <limits>
#include <random>

using quorvale::JSON;

namespace {

QByteArray bytes(std::string_view s)
{
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

// Decodes or returns the error text, so that a failure shows what the decoder said.
std::string decodeError(std::string_view text)
{
    try {
        JSON::decode(text);
    } catch (const JSON::DecodeError &e) {
        return e.what();
    }
    return {};
}

} // namespace

class JSONTest final : public QObject
{
    Q_OBJECT

private slots:
    // Decoding: what is JSON is read, and what is not is refused with a located error.
    void acceptsValidText_data();

    void acceptsValidText()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, encoded);
        JSON value;
        try {
            value = JSON::decode(text.toStdString());
        } catch (const JSON::DecodeError &e) {
            QFAIL(e.what());
        }
        QCOMPARE(bytes(value.encode()), encoded);
    }

    void rejectsInvalidText_data();

    void rejectsInvalidText()
    {
        QFETCH(QByteArray, text);
        QVERIFY2(!decodeError(text.toStdString()).empty(), text.constData());
    }

    void refusesDeepNestingWithoutOverflowingTheStack()
    {
        const std::string error = decodeError(std::string(100'000, '['));
        QVERIFY2(error.find("nesting") != std::string::npos, error.c_str());
        std::string deepObjects;
        for (int i = 0; i < 100'000; ++i)
            deepObjects += R"({"a":)";
        QVERIFY(!decodeError(deepObjects).empty());

        // The deepest accepted nesting reads, writes and reads back.
        const std::string deepest =
            std::string(JSON::maxDepth, '[') + std::string(JSON::maxDepth, ']');
        QCOMPARE(JSON::decode(deepest).encode(), deepest);
        QVERIFY(!decodeError('[' + deepest + ']').empty());
    }

    void errorSaysWhereTheTextWentWrong()
    {
        const std::string error = decodeError("{\n  \"a\": [1, 2,]\n}");
        QVERIFY2(error.find("line 2, column 14: unexpected ']'") != std::string::npos,
                 error.c_str());
    }

    // Encoding: compact, slash escaped, shortest numbers, nothing unwritable.
    void encodesCompactly()
    {
        // Reading and writing back whole texts is acceptsValidText's; here, members built in code.
        JSON page = JSON::object({{"tags", JSON::array({"a", 1, false})}});
        page.set("empty", JSON());
        const std::string text = page.encode();
        QVERIFY(text.find(R"("tags":["a",1,false])") != std::string::npos);
        QVERIFY(text.find(R"("empty":null)") != std::string::npos);
        // Control characters get escapes; the rest of the text passes as UTF-8.
        QCOMPARE(JSON(std::string_view("\x01\x1f\x7f ñ", 6)).encode(),
                 std::string("\"\\u0001\\u001f\x7f ñ\""));
    }

    void writesNumbersInTheirShortestForm_data()
    {
        QTest::addColumn<double>("number");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("one half") << 0.5 << QByteArray("0.5");
        QTest::newRow("one third") << 1.0 / 3 << QByteArray("0.3333333333333333");
        QTest::newRow("tiny") << 1e-7 << QByteArray("1e-07");
    }

    void writesNumbersInTheirShortestForm()
    {
        QFETCH(double, number);
        QFETCH(QByteArray, text);
        QCOMPARE(bytes(JSON(number).encode()), text);
        QCOMPARE(JSON::decode(text.toStdString()).numberValue(), number);
    }

    void refusesWhatCannotBeReadBack()
    {
        QVERIFY_THROWS_EXCEPTION(JSON::EncodeError,
                                 JSON(std::numeric_limits<double>::infinity()).encode());
        QVERIFY_THROWS_EXCEPTION(JSON::EncodeError, JSON(std::nan("")).encode());
        QVERIFY_THROWS_EXCEPTION(JSON::EncodeError,
                                 JSON::array({1, JSON::object({{"x", -HUGE_VAL}})}).encode());
        JSON deep;
        for (int i = 0; i <= JSON::maxDepth; ++i)
            deep = JSON::array({deep});
        QVERIFY_THROWS_EXCEPTION(JSON::EncodeError, deep.encode());
    }

    void roundTripsGeneratedValues()
    {
        std::mt19937_64 random(20261206);
        const auto randomText = [&] {
            static const std::vector<std::string> pieces = {
                "a",  "Ñ",    "é",       "/", "\\",      "\"",
                "\n", "\x01", "🎙️", " ", "reunión", "\xe2\x80\xa8"};
            std::string s;
            for (auto n = random() % 24; n > 0; --n)
                s += pieces[random() % pieces.size()];
            return s;
        };
        std::function<JSON(int)> generate = [&](int depth) -> JSON {
            switch (depth > 4 ? random() % 4 : random() % 6) {
            case 0:
                return JSON(randomText());
            case 1:
                return JSON(std::ldexp(static_cast<double>(random() % 2'000'001) - 1'000'000,
                                       static_cast<int>(random() % 120) - 60));
            case 2:
                return JSON(random() % 2 == 0);
            case 3:
                return JSON();
            case 4: {
                JSON a = JSON::array();
                for (auto n = random() % 6; n > 0; --n)
                    a.append(generate(depth + 1));
                return a;
            }
            default: {
                JSON o = JSON::object();
                for (auto n = random() % 12; n > 0; --n)
                    o.set(randomText(), generate(depth + 1));
                return o;
            }
            }
        };
        for (int i = 0; i < 300; ++i) {
            const JSON value = generate(0);
            const std::string text = value.encode();
            const JSON back = JSON::decode(text);
            QVERIFY2(back == value, text.c_str());
            QCOMPARE(back.encode(), text);
        }
    }

    void equality_data()
    {
        QTest::addColumn<QByteArray>("left");
        QTest::addColumn<QByteArray>("right");
        QTest::addColumn<bool>("equal");
        const auto row = [](const char *name, const char *l, const char *r, bool eq) {
            QTest::newRow(name) << QByteArray(l) << QByteArray(r) << eq;
        };
        row("member order is irrelevant", R"({"a":1,"b":[true]})", R"({"b":[true],"a":1})", true);
        row("an extra null member counts", R"({"a":1})", R"({"a":1,"b":null})", false);
        row("number is not text", "1", R"("1")", false);
        row("zero and minus zero", "0", "-0", true);
        row("composed and decomposed accent", "\"Reuni\xc3\xb3n\"", "\"Reunio\xcc\x81n\"", true);
        row("accent is not plain letter", "\"Reuni\xc3\xb3n\"", "\"Reunion\"", false);
        row("escaped and literal text", R"("\u00e9")", "\"\xc3\xa9\"", true);
    }

    void equality()
    {
        QFETCH(QByteArray, left);
        QFETCH(QByteArray, right);
        QFETCH(bool, equal);
        const JSON l = JSON::decode(left.toStdString());
        const JSON r = JSON::decode(right.toStdString());
        QCOMPARE(l == r, equal);
        QCOMPARE(r == l, equal);
        QCOMPARE(l != r, !equal);
    }

    // Lenient reads and writes.
    void readsNeverFail()
    {
        // A member, an element or a value of the wrong kind reads as empty, never throws.
        for (const char *text : {"[1]", R"("s")", "3", "true", "null"})
            QVERIFY2(JSON::decode(text)["title"].isNull(), text);
        const JSON block = JSON::decode(R"({"listLayout":{"b1":{"indent":2}}})");
        QCOMPARE(block["listLayout"]["b1"]["indent"].numberValue(), 2.0);
        QVERIFY(block["listLayout"]["b2"]["indent"].isNull());
        QVERIFY(block.at(0).isNull());
        QVERIFY(JSON::array({1}).at(1).isNull());

        const JSON v = JSON::decode(R"({"s":"t","n":2.5,"b":true,"a":[1,2],"o":{},"id":"p1"})");
        QCOMPARE(v["s"].stringValue(), std::string_view("t"));
        QCOMPARE(v["n"].stringValue(), std::string_view());
        QCOMPARE(v["n"].numberValue(), 2.5);
        QCOMPARE(v["s"].numberValue(7), 7.0);
        QCOMPARE(JSON(std::nan("")) == JSON(std::nan("")), false);
        QCOMPARE(v["b"].numberValue(-1), -1.0); // booleans are never numbers
        QCOMPARE(JSON(1).boolValue(), false);   // nor numbers booleans
        // An id is a string "id" member only.
        QCOMPARE(v.id(), std::string_view("p1"));
        QCOMPARE(JSON::decode(R"({"id":5})").id(), std::string_view());
    }

    void wholeNumberConversion_data()
    {
        QTest::addColumn<double>("number");
        QTest::addColumn<qint64>("whole");
        constexpr qint64 max = std::numeric_limits<qint64>::max();
        constexpr qint64 min = std::numeric_limits<qint64>::min();
        QTest::newRow("positive fraction") << 2.9 << qint64(2);
        QTest::newRow("largest double below 2^63")
            << 9223372036854774784.0 << qint64(9223372036854774784);
        QTest::newRow("2^63 clamps") << 9223372036854775808.0 << max;
        QTest::newRow("-2^63 fits") << -9223372036854775808.0 << min;
        QTest::newRow("NaN reads as the fallback") << std::nan("") << qint64(-5);
    }

    void wholeNumberConversion()
    {
        QFETCH(double, number);
        QFETCH(qint64, whole);
        QCOMPARE(JSON(number).integerValue(-5), whole);
        QCOMPARE(JSON("12").integerValue(-5), qint64(-5));
    }

    void memberWritesTurnAnythingIntoAnObject()
    {
        for (JSON v : {JSON(), JSON::array({1, 2}), JSON("x"), JSON(3)}) {
            v.set("title", "Hola");
            QCOMPARE(v, JSON::object({{"title", "Hola"}}));
        }
        JSON o = JSON::object({{"a", 1}});
        o.set("a", JSON());
        QVERIFY(o.contains("a") && o["a"].isNull());
        QVERIFY(o != JSON::object());

        JSON doc;
        doc.member("settings").member("theme") = "light";
        QCOMPARE(doc.encode(), std::string(R"({"settings":{"theme":"light"}})"));
    }

    void largeObjectsFindEveryMemberAndKeepTheLastDuplicate()
    {
        for (const int size : {3, 5000}) {
            std::string text = "{";
            for (int i = 0; i < size; ++i)
                text += "\"key" + std::to_string(i) + "\":" + std::to_string(i) + ",";
            text += R"("key1":"last"})";
            JSON o = JSON::decode(text);
            QCOMPARE(o.size(), std::size_t(size));
            QCOMPARE(o["key1"].stringValue(), std::string_view("last"));
            for (int i = 2; i < size; i += 7)
                QCOMPARE(o["key" + std::to_string(i)].numberValue(), double(i));
            QVERIFY(o["key" + std::to_string(size)].isNull());
            const JSON copy = o;
            o.set("key2", "changed");
            QCOMPARE(o.size(), std::size_t(size));
            QCOMPARE(o["key2"].stringValue(), std::string_view("changed"));
            QCOMPARE(copy["key2"].numberValue(), 2.0);
        }
    }

    void invalidUtf8IsRepairedOnConstruction()
    {
        // The view a missing member reads as has no storage at all.
        const JSON missing = JSON::object()["title"].stringValue();
        QCOMPARE(missing.encode(), std::string(R"("")"));

        const JSON v(std::string_view("ok\xff\xc3(end"));
        QCOMPARE(v.stringValue(), std::string_view("ok\xef\xbf\xbd\xef\xbf\xbd(end"));
        JSON o;
        o.set(std::string_view("k\xfe"), 1);
        QVERIFY(JSON::decode(o.encode()).contains("k\xef\xbf\xbd"));
    }

    // Value semantics.
    void copiesAreIndependent()
    {
        JSON original =
            JSON::decode(R"({"pages":[{"id":"p","blocks":[{"id":"b","text":"uno"}]}]})");
        JSON copy = original;
        auto &block = copy.member("pages").elements()[0].member("blocks").elements()[0];
        block.set("text", "dos");
        QCOMPARE(original["pages"].at(0)["blocks"].at(0)["text"].stringValue(),
                 std::string_view("uno"));
        QCOMPARE(copy["pages"].at(0)["blocks"].at(0)["text"].stringValue(),
                 std::string_view("dos"));

        JSON list = JSON::array({1});
        JSON other = list;
        other.append(2);
        list.elements().push_back(3);
        QCOMPARE(list.encode(), std::string("[1,3]"));
        QCOMPARE(other.encode(), std::string("[1,2]"));

        JSON text = "a long enough text to live on the heap";
        const JSON textCopy = text;
        text = "short";
        QCOMPARE(textCopy.stringValue(),
                 std::string_view("a long enough text to live on the heap"));
    }

    void assigningFromOwnMemberIsSafe()
    {
        JSON v = JSON::decode(R"({"a":{"b":"a text longer than the inline capacity"}})");
        v = v["a"];
        QCOMPARE(v["b"].stringValue(), std::string_view("a text longer than the inline capacity"));
        v = std::move(v.member("b"));
        QCOMPARE(v.stringValue(), std::string_view("a text longer than the inline capacity"));
    }

    void encodeCacheNeverServesStaleText()
    {
        const std::string longText(1500, 'x');
        JSON doc = JSON::object({{"name", "w"}, {"pages", JSON::array()}});
        for (int i = 0; i < 20; ++i)
            doc.member("pages").elements().push_back(
                JSON::object({{"id", "p" + std::to_string(i)},
                              {"blocks", JSON::array({JSON::object({{"text", longText}})})}}));
        JSON::EncodeCache cache;
        std::string cached;
        doc.encodeInto(cached, &cache);
        QCOMPARE(cached, doc.encode());

        // Edits in place, at several depths, never reuse the text of what changed.
        for (int round = 0; round < 5; ++round) {
            auto &page = doc.member("pages").elements()[static_cast<std::size_t>(round * 3)];
            page.member("blocks").elements()[0].set("text", longText + std::to_string(round));
            page.set("title", "t" + std::to_string(round));
            doc.set("revision", round);
            cached.clear();
            doc.encodeInto(cached, &cache);
            QCOMPARE(cached, doc.encode());
        }

        // Pages that are gone are forgotten, so the cache does not grow with every edit.
        doc.member("pages").elements().resize(3);
        cached.clear();
        doc.encodeInto(cached, &cache);
        QCOMPARE(cached, doc.encode());
        QVERIFY(cache.size() <= 3);
    }
};

void JSONTest::rejectsInvalidText_data()
{
    QTest::addColumn<QByteArray>("text");
    const auto row = [](const char *name, QByteArray text) { QTest::newRow(name) << text; };
    row("empty body", "");
    row("trailing comma in array", "[1,]");
    row("trailing comma in object", R"({"a":1,})");
    row("missing comma", "[1 2]");
    row("leading zero", "01");
    row("point without fraction", "1.");
    row("unquoted key", "{a:1}");
    row("unterminated string", R"("abc)");
    row("garbage after value", "[1]x");
    row("truncated literal", "tru");
    row("byte order mark", "\xef\xbb\xbf[]");
    row("unknown escape", R"("\x41")");
    row("short unicode escape", R"("\u12")");
    row("raw tab in string", "\"a\tb\"");
    row("invalid utf-8 byte", "\"\xc3\x28\"");
    row("overlong slash", "\"\xc0\xaf\"");
    row("utf-8 encoded surrogate", "\"\xed\xa0\x80\"");
    row("past U+10FFFF", "\"\xf4\x90\x80\x80\"");
    row("truncated sequence at end", "\"\xe2\x82");
}

void JSONTest::acceptsValidText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("encoded");
    const auto row = [](const char *name, QByteArray text, QByteArray encoded) {
        QTest::newRow(name) << text << encoded;
    };
    row("each kind", R"([1,true,"1",null,{},[]])", R"([1,true,"1",null,{},[]])");
    row("surrounding whitespace", " \t\r\n[ 1 , 2 ]\n ", "[1,2]");
    row("exponent forms", "[1e2,1E+2,1e-2,-1.5E-0]", "[100,100,0.01,-1.5]");
    row("long integer", "123456789012345678901234567890", "1.2345678901234568e+29");
    row("above the double range", "[1e400,-123.4e999]",
        "[1.7976931348623157e+308,-1.7976931348623157e+308]");
    row("below the double range", "[0.00001e-400,-1e-400]", "[0,-0]");
    row("escaped slash read, slash written escaped", R"("\/api/workspace")",
        R"("\/api\/workspace")");
    row("all simple escapes", R"("\"\\\b\f\n\r\t")", R"("\"\\\b\f\n\r\t")");
    row("unicode escapes", R"("\u00e9\u20AC\u0000")", "\"é€\\u0000\"");
    row("surrogate pair", R"("\ud83c\udf99")", "\"🎙\"");
    // A lone surrogate is grammatical JSON but not text: it reads as U+FFFD.
    row("lone high surrogate", R"("a\ud800b")", "\"a\uFFFDb\"");
    row("high surrogate before a pair", R"("\ud800\ud800\udc00")", "\"\uFFFD\U00010000\"");
    const QByteArray longText(200, 'x');
    row("escapes around long text", "\"\\n" + longText + "\\u00e9" + longText + "\\\"\"",
        "\"\\n" + longText + "é" + longText + "\\\"\"");
}

QTEST_APPLESS_MAIN(JSONTest)
#include "tst_json.moc"
