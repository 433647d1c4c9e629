// Decoding, encoding and copying a 5 MB workspace with JSON and with its peers (RapidJSON,
// nlohmann::json, QJsonDocument, simdjson), plus the in-memory edit path of the model.

#include "common/benchresults.h"
#include "common/workspacegenerator.h"
#include "model/workspacemodel.h"
#include "support/memorysecretstore.h"
#include "json/json.h"

#include <QJsonDocument>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include <cstdio>

using quorvale::JSON;

namespace {

const std::string &text()
{
    static const std::string t = quorvale::bench::generateWorkspace();
    return t;
}

void setBytes(benchmark::State &state)
{
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text().size()));
}

void decodeJSON(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(JSON::decode(text()));
    setBytes(state);
}

void decodeRapidJSON(benchmark::State &state)
{
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse(text().data(), text().size());
        benchmark::DoNotOptimize(d.HasParseError());
    }
    setBytes(state);
}

void decodeNlohmann(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(nlohmann::json::parse(text()));
    setBytes(state);
}

void decodeQJsonDocument(benchmark::State &state)
{
    const QByteArray bytes =
        QByteArray::fromRawData(text().data(), static_cast<qsizetype>(text().size()));
    for (auto _ : state)
        benchmark::DoNotOptimize(QJsonDocument::fromJson(bytes));
    setBytes(state);
}

void decodeSimdjson(benchmark::State &state)
{
    simdjson::dom::parser parser;
    const simdjson::padded_string padded(text());
    for (auto _ : state) {
        simdjson::dom::element root;
        benchmark::DoNotOptimize(parser.parse(padded).get(root));
    }
    setBytes(state);
}

// Encoding into a buffer kept from the previous run, as the draft writer does; RapidJSON gets
// the same advantage.
void encodeJSON(benchmark::State &state)
{
    const JSON doc = JSON::decode(text());
    std::string out;
    for (auto _ : state) {
        out.clear();
        doc.encodeInto(out);
        benchmark::DoNotOptimize(out.data());
    }
    setBytes(state);
}

void encodeRapidJSON(benchmark::State &state)
{
    rapidjson::Document d;
    d.Parse(text().data(), text().size());
    rapidjson::StringBuffer buffer;
    for (auto _ : state) {
        buffer.Clear();
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        d.Accept(writer);
        benchmark::DoNotOptimize(buffer.GetString());
    }
    setBytes(state);
}

// Encoding into a new string each time: the allocator's growth and page faults count too.
void encodeJSONFresh(benchmark::State &state)
{
    const JSON doc = JSON::decode(text());
    for (auto _ : state)
        benchmark::DoNotOptimize(doc.encode());
    setBytes(state);
}

void encodeRapidJSONFresh(benchmark::State &state)
{
    rapidjson::Document d;
    d.Parse(text().data(), text().size());
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        d.Accept(writer);
        benchmark::DoNotOptimize(buffer.GetString());
    }
    setBytes(state);
}

void encodeNlohmann(benchmark::State &state)
{
    const auto doc = nlohmann::json::parse(text());
    for (auto _ : state)
        benchmark::DoNotOptimize(doc.dump());
    setBytes(state);
}

void encodeQJsonDocument(benchmark::State &state)
{
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text()));
    for (auto _ : state)
        benchmark::DoNotOptimize(doc.toJson(QJsonDocument::Compact));
    setBytes(state);
}

void copyJSON(benchmark::State &state)
{
    const JSON doc = JSON::decode(text());
    for (auto _ : state) {
        JSON copy = doc;
        benchmark::DoNotOptimize(copy);
    }
}

void copyNlohmann(benchmark::State &state)
{
    const auto doc = nlohmann::json::parse(text());
    for (auto _ : state) {
        auto copy = doc;
        benchmark::DoNotOptimize(copy);
    }
}

// One keystroke in a block of a page in the middle of the document, without the draft.
void updateBlock(benchmark::State &state)
{
    quorvale::WorkspaceModel model(std::make_unique<quorvale::MemorySecretStore>(),
                                   QUrl(QStringLiteral("https://localhost:1")), {});
    model.setWorkspace(JSON::decode(text()));
    const JSON &page = model.workspace()["pages"].at(1000);
    const std::string pageId(page.id());
    const std::string blockId(page["blocks"].at(10).id());
    std::string typed = "Notas de la reunión";
    for (auto _ : state) {
        typed.push_back('a');
        model.updateBlock(pageId, blockId, "text", typed);
    }
}

} // namespace

BENCHMARK(decodeJSON)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(decodeRapidJSON)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(decodeNlohmann)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(decodeQJsonDocument)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(decodeSimdjson)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(encodeJSON)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(encodeRapidJSON)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(encodeJSONFresh)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(encodeRapidJSONFresh)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(encodeNlohmann)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(encodeQJsonDocument)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(copyJSON)->Unit(benchmark::kNanosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(copyNlohmann)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(updateBlock)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

int main(int argc, char **argv)
{
    std::printf("workspace: %.2f MB\n", static_cast<double>(text().size()) / 1e6);
    const auto t = quorvale::bench::runBenchmarks(argc, argv);
    const auto get = [&](const char *name) {
        const auto it = t.find(name);
        return it == t.end() ? 0.0 : it->second;
    };
    const double mb = static_cast<double>(text().size()) / 1e6;
    const auto ratio = [&](const char *peer, const char *ours) {
        return get(ours) > 0 ? get(peer) / get(ours) : 0.0;
    };
    std::printf("fresh-buffer encode: %.0f MB/s, %.2f x RapidJSON\n",
                get("encodeJSONFresh") > 0 ? mb / get("encodeJSONFresh") : 0.0,
                ratio("encodeRapidJSONFresh", "encodeJSONFresh"));
    std::printf(
        "RESULT decode_mb_s=%.0f encode_mb_s=%.0f decode_vs_nlohmann=%.2f decode_vs_qjson=%.2f "
        "decode_vs_rapidjson=%.2f encode_vs_rapidjson=%.2f copy_ns=%.1f update_block_us=%.1f\n",
        get("decodeJSON") > 0 ? mb / get("decodeJSON") : 0.0,
        get("encodeJSON") > 0 ? mb / get("encodeJSON") : 0.0, ratio("decodeNlohmann", "decodeJSON"),
        ratio("decodeQJsonDocument", "decodeJSON"), ratio("decodeRapidJSON", "decodeJSON"),
        ratio("encodeRapidJSON", "encodeJSON"), get("copyJSON") * 1e9, get("updateBlock") * 1e6);
    return 0;
}
