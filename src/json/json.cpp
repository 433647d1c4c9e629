#include "json.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <unordered_map>

#include <utf8proc.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace quorvale {

// ---------------------------------------------------------------------------------------------
// Storage

struct JSON::Node
{
    mutable std::atomic<std::uint32_t> refs{1};
};

struct JSON::StringNode : Node
{
    std::size_t size;
    char *data() { return reinterpret_cast<char *>(this + 1); }

    static StringNode *make(std::string_view text)
    {
        void *memory = ::operator new(sizeof(StringNode) + text.size());
        auto *node = new (memory) StringNode;
        node->size = text.size();
        std::memcpy(node->data(), text.data(), text.size());
        return node;
    }
    static void destroy(StringNode *node)
    {
        node->~StringNode();
        ::operator delete(node);
    }
};

struct JSON::ArrayNode : Node
{
    Array items;
};

namespace {

// Objects this small are searched by a linear scan; larger ones get an open-addressed index.
constexpr std::size_t linearLimit = 8;

std::uint64_t hashKey(std::string_view key) noexcept
{
    // 64-bit multiply-mix over 8-byte words: keys are short, so speed matters more than quality.
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = key.size() * k;
    const char *p = key.data();
    std::size_t n = key.size();
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * k;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    if (n > 0) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * k;
        h ^= h >> 29;
    }
    return h ^ (h >> 32);
}

} // namespace

struct JSON::ObjectNode : Node
{
    std::vector<Member> entries;
    std::vector<std::uint32_t> index; // slot → entry + 1, 0 when free; empty while small

    Member *find(std::string_view key) noexcept
    {
        if (index.empty()) {
            for (auto &e : entries) {
                if (e.key.text() == key)
                    return &e;
            }
            return nullptr;
        }
        const std::size_t mask = index.size() - 1;
        for (std::size_t slot = hashKey(key) & mask;; slot = (slot + 1) & mask) {
            const std::uint32_t i = index[slot];
            if (i == 0)
                return nullptr;
            if (entries[i - 1].key.text() == key)
                return &entries[i - 1];
        }
    }

    void place(std::size_t entry) noexcept
    {
        const std::size_t mask = index.size() - 1;
        std::size_t slot = hashKey(entries[entry].key.text()) & mask;
        while (index[slot] != 0)
            slot = (slot + 1) & mask;
        index[slot] = static_cast<std::uint32_t>(entry + 1);
    }

    void rebuildIndex()
    {
        std::size_t capacity = 16;
        while (capacity < entries.size() * 2)
            capacity *= 2;
        index.assign(capacity, 0);
        for (std::size_t i = 0; i < entries.size(); ++i)
            place(i);
    }

    // Inserts or replaces; the last write of a key wins.
    void put(JSON &&key, JSON &&value)
    {
        if (Member *existing = find(key.text())) {
            existing->value = std::move(value);
            return;
        }
        entries.push_back(Member{std::move(key), std::move(value)});
        if (!index.empty() && entries.size() * 2 <= index.size())
            place(entries.size() - 1);
        else if (entries.size() > linearLimit)
            rebuildIndex();
    }
};

JSON::Node *JSON::node() const noexcept
{
    Node *n;
    std::memcpy(&n, m_raw, sizeof n);
    return n;
}

void JSON::setNode(Tag t, Node *n) noexcept
{
    std::memcpy(m_raw, &n, sizeof n);
    setTag(t);
}

void JSON::retain() const noexcept
{
    if (hasNode())
        node()->refs.fetch_add(1, std::memory_order_relaxed);
}

void JSON::release() noexcept
{
    if (!hasNode())
        return;
    Node *n = node();
    if (n->refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    switch (tag()) {
    case Tag::Object:
        delete static_cast<ObjectNode *>(n);
        break;
    case Tag::Array:
        delete static_cast<ArrayNode *>(n);
        break;
    default:
        StringNode::destroy(static_cast<StringNode *>(n));
        break;
    }
}

std::string_view JSON::text() const noexcept
{
    if (tag() == Tag::InlineString)
        return {reinterpret_cast<const char *>(m_raw), m_raw[14]};
    auto *s = static_cast<StringNode *>(node());
    return {s->data(), s->size};
}

// ---------------------------------------------------------------------------------------------
// Construction, copy, move

JSON::JSON(bool value) noexcept
{
    std::memset(m_raw, 0, sizeof m_raw);
    m_raw[0] = value ? 1 : 0;
    setTag(Tag::Bool);
}

JSON::JSON(double value) noexcept
{
    std::memset(m_raw, 0, sizeof m_raw);
    std::memcpy(m_raw, &value, sizeof value);
    setTag(Tag::Number);
}

JSON::JSON(ValidUtf8, std::string_view text)
{
    initString(text);
}

void JSON::initString(std::string_view text)
{
    if (text.size() <= inlineCapacity) {
        // Unused bytes are zeroed so that equal short strings are identical bit for bit.
        std::memset(m_raw, 0, sizeof m_raw);
        if (!text.empty()) // an empty view may carry a null pointer
            std::memcpy(m_raw, text.data(), text.size());
        m_raw[14] = static_cast<unsigned char>(text.size());
        setTag(Tag::InlineString);
    } else {
        setNode(Tag::HeapString, StringNode::make(text));
    }
}

namespace {

// Length of the valid UTF-8 sequence starting at p, or 0 when it is not valid (overlong forms,
// surrogates and code points past U+10FFFF are not).
std::size_t utf8SequenceLength(const unsigned char *p, const unsigned char *end) noexcept
{
    const unsigned c = p[0];
    const auto cont = [&](std::ptrdiff_t i) { return p + i < end && (p[i] & 0xC0) == 0x80; };
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2))
            return 0;
        if (c == 0xE0 && p[1] < 0xA0)
            return 0; // overlong
        if (c == 0xED && p[1] >= 0xA0)
            return 0; // surrogate
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3))
            return 0;
        if (c == 0xF0 && p[1] < 0x90)
            return 0; // overlong
        if (c == 0xF4 && p[1] >= 0x90)
            return 0; // past U+10FFFF
        return 4;
    }
    return 0;
}

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

std::size_t firstInvalidUtf8(std::string_view text) noexcept
{
    auto *p = reinterpret_cast<const unsigned char *>(text.data());
    auto *end = p + text.size();
    for (auto *q = p; q < end;) {
        if (*q < 0x80) {
            ++q;
            continue;
        }
        const std::size_t n = utf8SequenceLength(q, end);
        if (n == 0)
            return static_cast<std::size_t>(q - p);
        q += n;
    }
    return std::string_view::npos;
}

std::string repairUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 8);
    auto *p = reinterpret_cast<const unsigned char *>(text.data());
    auto *end = p + text.size();
    while (p < end) {
        const std::size_t n = utf8SequenceLength(p, end);
        if (n == 0) {
            out.append(replacementCharacter);
            ++p;
        } else {
            out.append(reinterpret_cast<const char *>(p), n);
            p += n;
        }
    }
    return out;
}

} // namespace

JSON::JSON(std::string_view text)
{
    if (firstInvalidUtf8(text) == std::string_view::npos)
        initString(text);
    else
        initString(repairUtf8(text));
}

JSON::JSON(Array elements)
{
    auto *n = new ArrayNode;
    n->items = std::move(elements);
    setNode(Tag::Array, n);
}

JSON JSON::object()
{
    JSON v;
    v.setNode(Tag::Object, new ObjectNode);
    return v;
}

JSON JSON::object(std::initializer_list<std::pair<std::string_view, JSON>> members)
{
    JSON v = object();
    auto *n = static_cast<ObjectNode *>(v.node());
    n->entries.reserve(members.size());
    for (const auto &[key, value] : members)
        n->put(JSON(key), JSON(value));
    return v;
}

JSON JSON::array()
{
    return JSON(Array{});
}

JSON JSON::array(std::initializer_list<JSON> elements)
{
    return JSON(Array(elements));
}

JSON::JSON(const JSON &other) noexcept
{
    std::memcpy(m_raw, other.m_raw, sizeof m_raw);
    retain();
}

JSON::JSON(JSON &&other) noexcept
{
    std::memcpy(m_raw, other.m_raw, sizeof m_raw);
    other.setTag(Tag::Null);
}

JSON &JSON::operator=(const JSON &other) noexcept
{
    if (this != &other) {
        // other may live inside this value (v = v["a"]): take it before letting go.
        unsigned char incoming[16];
        std::memcpy(incoming, other.m_raw, sizeof incoming);
        other.retain();
        release();
        std::memcpy(m_raw, incoming, sizeof m_raw);
    }
    return *this;
}

JSON &JSON::operator=(JSON &&other) noexcept
{
    if (this != &other) {
        // Moving a member of this value into it must not free the source first.
        unsigned char incoming[16];
        std::memcpy(incoming, other.m_raw, sizeof incoming);
        other.setTag(Tag::Null);
        release();
        std::memcpy(m_raw, incoming, sizeof m_raw);
    }
    return *this;
}

JSON::~JSON()
{
    release();
}

// ---------------------------------------------------------------------------------------------
// Reads

JSON::Kind JSON::kind() const noexcept
{
    switch (tag()) {
    case Tag::Object:
        return Kind::Object;
    case Tag::Array:
        return Kind::Array;
    case Tag::HeapString:
    case Tag::InlineString:
        return Kind::String;
    case Tag::Number:
        return Kind::Number;
    case Tag::Bool:
        return Kind::Bool;
    case Tag::Null:
        break;
    }
    return Kind::Null;
}

namespace {
const JSON nullValue;
const JSON::Array emptyArray;
} // namespace

std::string_view JSON::stringValue() const noexcept
{
    return isString() ? text() : std::string_view();
}

double JSON::numberValue(double fallback) const noexcept
{
    if (!isNumber())
        return fallback;
    double d;
    std::memcpy(&d, m_raw, sizeof d);
    return d;
}

bool JSON::boolValue() const noexcept
{
    return isBool() && m_raw[0] != 0;
}

const JSON::Array &JSON::arrayValue() const noexcept
{
    return isArray() ? static_cast<ArrayNode *>(node())->items : emptyArray;
}

std::int64_t JSON::truncate(double value, std::int64_t nanFallback) noexcept
{
    using Limits = std::numeric_limits<std::int64_t>;
    if (std::isnan(value))
        return nanFallback;
    // 2^63 is exact as a double; anything at or past it does not fit.
    if (value >= 9223372036854775808.0)
        return Limits::max();
    if (value <= -9223372036854775808.0)
        return Limits::min();
    return static_cast<std::int64_t>(value); // truncates toward zero
}

std::int64_t JSON::integerValue(std::int64_t fallback) const noexcept
{
    return isNumber() ? truncate(numberValue(), fallback) : fallback;
}

std::string_view JSON::id() const noexcept
{
    return (*this)["id"].stringValue();
}

const JSON &JSON::operator[](std::string_view key) const noexcept
{
    if (!isObject())
        return nullValue;
    const Member *m = static_cast<ObjectNode *>(node())->find(key);
    return m ? m->value : nullValue;
}

bool JSON::contains(std::string_view key) const noexcept
{
    return isObject() && static_cast<ObjectNode *>(node())->find(key) != nullptr;
}

const JSON &JSON::at(std::size_t index) const noexcept
{
    const Array &items = arrayValue();
    return index < items.size() ? items[index] : nullValue;
}

std::size_t JSON::size() const noexcept
{
    if (isObject())
        return static_cast<ObjectNode *>(node())->entries.size();
    return arrayValue().size();
}

std::span<const JSON::Member> JSON::members() const noexcept
{
    if (!isObject())
        return {};
    return static_cast<ObjectNode *>(node())->entries;
}

bool JSON::isIdenticalTo(const JSON &other) const noexcept
{
    if (tag() != other.tag())
        return false;
    switch (tag()) {
    case Tag::Object:
    case Tag::Array:
    case Tag::HeapString:
        return node() == other.node();
    case Tag::Number:
        return std::memcmp(m_raw, other.m_raw, sizeof(double)) == 0;
    case Tag::Bool:
        return m_raw[0] == other.m_raw[0];
    case Tag::InlineString:
        return text() == other.text();
    case Tag::Null:
        break;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Writes: a shared container is copied one level deep before it changes.

JSON::ObjectNode *JSON::mutableObject()
{
    if (!isObject()) {
        *this = object();
    } else if (node()->refs.load(std::memory_order_acquire) != 1) {
        auto *copy = new ObjectNode;
        auto *source = static_cast<ObjectNode *>(node());
        copy->entries = source->entries;
        copy->index = source->index;
        release();
        setNode(Tag::Object, copy);
    }
    return static_cast<ObjectNode *>(node());
}

JSON::ArrayNode *JSON::mutableArray()
{
    if (!isArray()) {
        *this = array();
    } else if (node()->refs.load(std::memory_order_acquire) != 1) {
        auto *copy = new ArrayNode;
        copy->items = static_cast<ArrayNode *>(node())->items;
        release();
        setNode(Tag::Array, copy);
    }
    return static_cast<ArrayNode *>(node());
}

void JSON::set(std::string_view key, JSON value)
{
    mutableObject()->put(JSON(key), std::move(value));
}

JSON &JSON::member(std::string_view key)
{
    ObjectNode *n = mutableObject();
    if (Member *m = n->find(key))
        return m->value;
    n->put(JSON(key), JSON());
    return n->find(key)->value;
}

JSON::Array &JSON::elements()
{
    return mutableArray()->items;
}

void JSON::append(JSON value)
{
    mutableArray()->items.push_back(std::move(value));
}

// ---------------------------------------------------------------------------------------------
// Equality

namespace {

bool isAscii(std::string_view s) noexcept
{
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string normalized(std::string_view s)
{
    utf8proc_uint8_t *out = nullptr;
    const auto n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t *>(s.data()),
                                static_cast<utf8proc_ssize_t>(s.size()), &out,
                                static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (n < 0)
        return std::string(s);
    std::string result(reinterpret_cast<const char *>(out), static_cast<std::size_t>(n));
    std::free(out);
    return result;
}

bool canonicallyEqual(std::string_view a, std::string_view b)
{
    if (a == b)
        return true;
    if (isAscii(a) && isAscii(b))
        return false;
    return normalized(a) == normalized(b);
}

} // namespace

bool operator==(const JSON &a, const JSON &b)
{
    using Tag = JSON::Tag;
    if (a.kind() != b.kind())
        return false;
    if (a.hasNode() && a.isIdenticalTo(b))
        return true;
    switch (a.tag()) {
    case Tag::Object: {
        auto *l = static_cast<JSON::ObjectNode *>(a.node());
        auto *r = static_cast<JSON::ObjectNode *>(b.node());
        if (l->entries.size() != r->entries.size())
            return false;
        for (const auto &m : l->entries) {
            const JSON::Member *other = r->find(m.key.text());
            if (!other || !(m.value == other->value))
                return false;
        }
        return true;
    }
    case Tag::Array:
        return a.arrayValue() == b.arrayValue();
    case Tag::HeapString:
    case Tag::InlineString:
        return canonicallyEqual(a.text(), b.text());
    case Tag::Number:
        return a.numberValue() == b.numberValue();
    case Tag::Bool:
        return a.boolValue() == b.boolValue();
    case Tag::Null:
        break;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Decoding

JSON::DecodeError::DecodeError(const std::string &what, std::size_t offset, std::size_t line,
                               std::size_t column)
    : std::runtime_error(what)
    , m_offset(offset)
    , m_line(line)
    , m_column(column)
{}

namespace {

constexpr std::uint64_t broadcast(unsigned char c) noexcept
{
    return 0x0101010101010101ull * c;
}

// High bit set in every byte of w that is zero.
constexpr std::uint64_t zeroBytes(std::uint64_t w) noexcept
{
    return (w - broadcast(1)) & ~w & broadcast(0x80);
}

// These set the high bit of each byte of w that matches, exactly (no false positives from
// carries), so that the lowest flagged byte is the first match.
constexpr std::uint64_t bytesEqual(std::uint64_t w, unsigned char c) noexcept
{
    const std::uint64_t x = w ^ broadcast(c);
    return ~((x & broadcast(0x7F)) + broadcast(0x7F)) & ~x & broadcast(0x80);
}

constexpr std::uint64_t bytesBelow20(std::uint64_t w) noexcept
{
    return ~((w & broadcast(0x7F)) + broadcast(0x80 - 0x20)) & ~w & broadcast(0x80);
}

// What ends a plain run of string text: for the decoder the quote, the backslash, control
// characters and any non-ASCII byte (which it validates); for the encoder the quote, the
// backslash, the slash and control characters.
struct DecodeStops
{
    static std::uint64_t word(std::uint64_t w) noexcept
    {
        return bytesEqual(w, '"') | bytesEqual(w, '\\') | bytesBelow20(w) | (w & broadcast(0x80));
    }
    static bool byte(unsigned char c) noexcept
    {
        return c == '"' || c == '\\' || c < 0x20 || c >= 0x80;
    }
#ifdef __SSE2__
    static int block(__m128i v) noexcept
    {
        // As signed bytes, both control characters and non-ASCII bytes are below 0x20.
        const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                                       _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
                                          _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
        return _mm_movemask_epi8(hits);
    }
#endif
};

struct EncodeStops
{
    static std::uint64_t word(std::uint64_t w) noexcept
    {
        return bytesEqual(w, '"') | bytesEqual(w, '\\') | bytesEqual(w, '/') | bytesBelow20(w);
    }
    static bool byte(unsigned char c) noexcept
    {
        return c == '"' || c == '\\' || c == '/' || c < 0x20;
    }
#ifdef __SSE2__
    static int block(__m128i v) noexcept
    {
        const __m128i control =
            _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
        const __m128i hits =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                      _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
                         _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('/')), control));
        return _mm_movemask_epi8(hits);
    }
#endif
};

// The first byte in [p, end) that Stops flags, or end.
template <typename Stops>
const char *scan(const char *p, const char *end) noexcept
{
#ifdef __SSE2__
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        if (const int hits = Stops::block(v))
            return p + std::countr_zero(static_cast<unsigned>(hits));
        p += 16;
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (const std::uint64_t hits = Stops::word(w))
                return p + (std::countr_zero(hits) >> 3);
            p += 8;
        }
    }
    while (p < end && !Stops::byte(static_cast<unsigned char>(*p)))
        ++p;
    return p;
}

} // namespace

class JSONParser
{
public:
    explicit JSONParser(std::string_view text)
        : m_begin(text.data())
        , m_p(text.data())
        , m_end(text.data() + text.size())
    {}

    JSON parseDocument()
    {
        skipSpace();
        JSON value = parseValue(0);
        skipSpace();
        if (m_p != m_end)
            fail("unexpected text after the JSON value");
        return value;
    }

private:
    [[noreturn]] void fail(const std::string &what) const { failAt(m_p, what); }

    [[noreturn]] void failAt(const char *at, const std::string &what) const
    {
        const auto offset = static_cast<std::size_t>(at - m_begin);
        std::size_t line = 1;
        std::size_t lineStart = 0;
        for (std::size_t i = 0; i < offset; ++i) {
            if (m_begin[i] == '\n') {
                ++line;
                lineStart = i + 1;
            }
        }
        const std::size_t column = offset - lineStart + 1;
        throw JSON::DecodeError("invalid JSON at line " + std::to_string(line) + ", column " +
                                    std::to_string(column) + ": " + what,
                                offset, line, column);
    }

    std::string unexpected() const
    {
        const auto c = static_cast<unsigned char>(*m_p);
        if (c >= 0x20 && c < 0x7F)
            return std::string("unexpected '") + static_cast<char>(c) + "'";
        return "unexpected byte " + std::to_string(c);
    }

    void skipSpace() noexcept
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }

    void expectLiteral(std::string_view word)
    {
        if (static_cast<std::size_t>(m_end - m_p) < word.size() ||
            std::string_view(m_p, word.size()) != word)
            fail("invalid literal (expected " + std::string(word) + ")");
        m_p += word.size();
    }

    JSON parseValue(int depth)
    {
        if (m_p == m_end)
            fail("unexpected end of text");
        switch (*m_p) {
        case '{':
            return parseObject(depth + 1);
        case '[':
            return parseArray(depth + 1);
        case '"':
            return parseString();
        case 't':
            expectLiteral("true");
            return JSON(true);
        case 'f':
            expectLiteral("false");
            return JSON(false);
        case 'n':
            expectLiteral("null");
            return JSON();
        default:
            if (*m_p == '-' || (*m_p >= '0' && *m_p <= '9'))
                return parseNumber();
            fail(unexpected());
        }
    }

    void enter(int depth) const
    {
        if (depth > JSON::maxDepth)
            fail("nesting deeper than " + std::to_string(JSON::maxDepth) + " levels");
    }

    JSON parseArray(int depth)
    {
        enter(depth);
        ++m_p; // [
        skipSpace();
        JSON::Array items;
        if (m_p < m_end && *m_p == ']') {
            ++m_p;
            return JSON(std::move(items));
        }
        const std::size_t base = m_stack.size();
        for (;;) {
            m_stack.push_back(parseValue(depth));
            skipSpace();
            if (m_p == m_end)
                fail("unexpected end of text inside an array");
            if (*m_p == ',') {
                ++m_p;
                skipSpace();
                continue;
            }
            if (*m_p != ']')
                fail("expected ',' or ']' in an array");
            ++m_p;
            break;
        }
        items.reserve(m_stack.size() - base);
        std::move(m_stack.begin() + static_cast<std::ptrdiff_t>(base), m_stack.end(),
                  std::back_inserter(items));
        m_stack.resize(base);
        return JSON(std::move(items));
    }

    JSON parseObject(int depth)
    {
        enter(depth);
        ++m_p; // {
        skipSpace();
        JSON result = JSON::object();
        auto *node = static_cast<JSON::ObjectNode *>(result.node());
        if (m_p < m_end && *m_p == '}') {
            ++m_p;
            return result;
        }
        const std::size_t base = m_stack.size();
        for (;;) {
            if (m_p == m_end || *m_p != '"')
                fail("expected a string as an object key");
            m_stack.push_back(parseString());
            skipSpace();
            if (m_p == m_end || *m_p != ':')
                fail("expected ':' after an object key");
            ++m_p;
            skipSpace();
            m_stack.push_back(parseValue(depth));
            skipSpace();
            if (m_p == m_end)
                fail("unexpected end of text inside an object");
            if (*m_p == ',') {
                ++m_p;
                skipSpace();
                continue;
            }
            if (*m_p != '}')
                fail("expected ',' or '}' in an object");
            ++m_p;
            break;
        }
        node->entries.reserve((m_stack.size() - base) / 2);
        for (std::size_t i = base; i < m_stack.size(); i += 2)
            node->put(std::move(m_stack[i]), std::move(m_stack[i + 1]));
        m_stack.resize(base);
        return result;
    }

    static int hexDigit(char c) noexcept
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    unsigned readHex4()
    {
        if (m_end - m_p < 4)
            fail("incomplete \\u escape");
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hexDigit(m_p[i]);
            if (d < 0)
                failAt(m_p + i, "invalid hexadecimal digit in a \\u escape");
            value = value * 16 + static_cast<unsigned>(d);
        }
        m_p += 4;
        return value;
    }

    static void appendUtf8(std::string &out, unsigned cp)
    {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    // After the "\u" of an escape. A lone surrogate is valid JSON grammar but no Unicode text:
    // it becomes U+FFFD.
    void unescapeUnicode(std::string &out)
    {
        unsigned cp = readHex4();
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (m_end - m_p >= 6 && m_p[0] == '\\' && m_p[1] == 'u') {
                const char *save = m_p;
                m_p += 2;
                const unsigned low = readHex4();
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    appendUtf8(out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
                    return;
                }
                m_p = save; // the next escape stands on its own
            }
            cp = 0xFFFD;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        appendUtf8(out, cp);
    }

    JSON parseString()
    {
        ++m_p; // opening quote
        const char *start = m_p;
        // Text without escapes is validated where it lies and copied once.
        const char *stop = m_p;
        for (;;) {
            stop = scan<DecodeStops>(stop, m_end);
            if (stop == m_end)
                failAt(start - 1, "unterminated string");
            if (*stop == '"') {
                m_p = stop + 1;
                return JSON(JSON::ValidUtf8{},
                            std::string_view(start, static_cast<std::size_t>(stop - start)));
            }
            if (static_cast<unsigned char>(*stop) < 0x80)
                break;
            const std::size_t n =
                utf8SequenceLength(reinterpret_cast<const unsigned char *>(stop),
                                   reinterpret_cast<const unsigned char *>(m_end));
            if (n == 0)
                failAt(stop, "invalid UTF-8 inside a string");
            stop += n;
        }
        // An escape or a control character: unescape into the buffer from here on.
        m_buffer.assign(start, stop);
        m_p = stop;
        for (;;) {
            if (m_p == m_end)
                failAt(start - 1, "unterminated string");
            const auto c = static_cast<unsigned char>(*m_p);
            if (c == '"') {
                ++m_p;
                return JSON(JSON::ValidUtf8{}, m_buffer);
            }
            if (c == '\\') {
                if (m_end - m_p < 2)
                    failAt(start - 1, "unterminated string");
                const char e = m_p[1];
                m_p += 2;
                switch (e) {
                case '"':
                case '\\':
                case '/':
                    m_buffer.push_back(e);
                    break;
                case 'b':
                    m_buffer.push_back('\b');
                    break;
                case 'f':
                    m_buffer.push_back('\f');
                    break;
                case 'n':
                    m_buffer.push_back('\n');
                    break;
                case 'r':
                    m_buffer.push_back('\r');
                    break;
                case 't':
                    m_buffer.push_back('\t');
                    break;
                case 'u':
                    unescapeUnicode(m_buffer);
                    break;
                default:
                    failAt(m_p - 2, "invalid escape sequence");
                }
            } else if (c < 0x20) {
                fail("control character inside a string (it must be escaped)");
            } else if (c >= 0x80) {
                const std::size_t n =
                    utf8SequenceLength(reinterpret_cast<const unsigned char *>(m_p),
                                       reinterpret_cast<const unsigned char *>(m_end));
                if (n == 0)
                    fail("invalid UTF-8 inside a string");
                m_buffer.append(m_p, n);
                m_p += n;
            }
            const char *next = scan<DecodeStops>(m_p, m_end);
            m_buffer.append(m_p, next);
            m_p = next;
        }
    }

    JSON parseNumber()
    {
        const char *start = m_p;
        const bool negative = *m_p == '-';
        if (negative)
            ++m_p;
        if (m_p == m_end || *m_p < '0' || *m_p > '9')
            fail("expected a digit");
        // Integer part: 0, or a non-zero digit and more digits.
        const char *intStart = m_p;
        std::uint64_t mantissa = 0;
        if (*m_p == '0') {
            ++m_p;
            if (m_p < m_end && *m_p >= '0' && *m_p <= '9')
                fail("leading zeros are not allowed");
        } else {
            while (m_p < m_end && *m_p >= '0' && *m_p <= '9') {
                mantissa = mantissa * 10 + static_cast<unsigned>(*m_p - '0');
                ++m_p;
            }
        }
        const std::ptrdiff_t intDigits = m_p - intStart;
        bool plainInteger = true;
        if (m_p < m_end && *m_p == '.') {
            plainInteger = false;
            ++m_p;
            if (m_p == m_end || *m_p < '0' || *m_p > '9')
                fail("expected a digit after the decimal point");
            while (m_p < m_end && *m_p >= '0' && *m_p <= '9')
                ++m_p;
        }
        if (m_p < m_end && (*m_p == 'e' || *m_p == 'E')) {
            plainInteger = false;
            ++m_p;
            if (m_p < m_end && (*m_p == '+' || *m_p == '-'))
                ++m_p;
            if (m_p == m_end || *m_p < '0' || *m_p > '9')
                fail("expected a digit in the exponent");
            while (m_p < m_end && *m_p >= '0' && *m_p <= '9')
                ++m_p;
        }
        // Up to 15 digits an integer is exact as a double.
        if (plainInteger && intDigits <= 15) {
            const auto d = static_cast<double>(mantissa);
            return JSON(negative ? -d : d);
        }
        double value = 0;
        const auto [end, ec] = std::from_chars(start, m_p, value);
        if (ec == std::errc::result_out_of_range) {
            // Valid JSON beyond the double range: the nearest finite value (so that the value
            // can still be written back), or a signed zero below the smallest one.
            value = overflows(intStart, m_p) ? std::numeric_limits<double>::max() : 0.0;
            if (negative)
                value = -value;
        } else if (ec != std::errc() || end != m_p) {
            failAt(start, "invalid number");
        }
        return JSON(value);
    }

    // Whether a validated, out-of-range number text is too large (rather than too small).
    static bool overflows(const char *digits, const char *end) noexcept
    {
        long long magnitude = 0; // decimal exponent of the first significant digit, roughly
        const char *p = digits;
        bool seenSignificant = false;
        bool afterPoint = false;
        for (; p < end && *p != 'e' && *p != 'E'; ++p) {
            if (*p == '.') {
                afterPoint = true;
                continue;
            }
            if (!seenSignificant && *p == '0') {
                if (afterPoint)
                    --magnitude;
                continue;
            }
            seenSignificant = true;
            if (!afterPoint)
                ++magnitude;
        }
        long long exponent = 0;
        if (p < end) {
            ++p;
            bool negativeExponent = false;
            if (*p == '+' || *p == '-')
                negativeExponent = *p++ == '-';
            for (; p < end && exponent < 1'000'000'000; ++p)
                exponent = exponent * 10 + (*p - '0');
            if (negativeExponent)
                exponent = -exponent;
        }
        return magnitude + exponent > 0;
    }

    const char *m_begin;
    const char *m_p;
    const char *m_end;
    std::vector<JSON> m_stack; // members and elements of the containers being read
    std::string m_buffer;      // unescaped text of the string being read
};

JSON JSON::decode(std::string_view utf8)
{
    return JSONParser(utf8).parseDocument();
}

// ---------------------------------------------------------------------------------------------
// Encoding

struct JSON::EncodeCache::Entries
{
    struct Entry
    {
        JSON pin; // keeps the object unchanged while its text is remembered
        std::string text;
        int depth;
        bool used;
    };
    std::unordered_map<const void *, Entry> map;
    std::size_t lastSize = 0; // of the last encode: the next one is sized alike
};

JSON::EncodeCache::EncodeCache()
    : m_entries(std::make_unique<Entries>())
{}

JSON::EncodeCache::~EncodeCache() = default;

void JSON::EncodeCache::clear()
{
    m_entries->map.clear();
}

std::size_t JSON::EncodeCache::size() const
{
    return m_entries->map.size();
}

class JSONWriter
{
public:
    JSONWriter(std::string &out, JSON::EncodeCache *cache)
        : m_out(out)
        , m_start(out.size())
        , m_cache(cache ? cache->m_entries.get() : nullptr)
    {
        // One allocation instead of a string doubling its way up to megabytes.
        if (m_cache)
            m_out.reserve(m_start + m_cache->lastSize + m_cache->lastSize / 8);
    }

    // Drops what this encode did not meet, so that the cache holds the current value only.
    void sweep()
    {
        if (!m_cache)
            return;
        m_cache->lastSize = m_out.size() - m_start;
        std::erase_if(m_cache->map, [](const auto &item) { return !item.second.used; });
        for (auto &[node, entry] : m_cache->map)
            entry.used = false;
    }

    void write(const JSON &value, int depth)
    {
        switch (value.tag()) {
        case JSON::Tag::Object: {
            if (depth >= JSON::maxDepth)
                throw JSON::EncodeError("cannot encode nesting deeper than " +
                                        std::to_string(JSON::maxDepth) + " levels");
            m_out.push_back('{');
            bool first = true;
            for (const auto &m : static_cast<JSON::ObjectNode *>(value.node())->entries) {
                if (!first)
                    m_out.push_back(',');
                first = false;
                writeString(m.key.text());
                m_out.push_back(':');
                write(m.value, depth + 1);
            }
            m_out.push_back('}');
            break;
        }
        case JSON::Tag::Array: {
            if (depth >= JSON::maxDepth)
                throw JSON::EncodeError("cannot encode nesting deeper than " +
                                        std::to_string(JSON::maxDepth) + " levels");
            m_out.push_back('[');
            bool first = true;
            for (const auto &item : value.arrayValue()) {
                if (!first)
                    m_out.push_back(',');
                first = false;
                if (m_cache && item.isObject())
                    writeRemembered(item, depth + 1);
                else
                    write(item, depth + 1);
            }
            m_out.push_back(']');
            break;
        }
        case JSON::Tag::HeapString:
        case JSON::Tag::InlineString:
            writeString(value.text());
            break;
        case JSON::Tag::Number:
            writeNumber(value.numberValue());
            break;
        case JSON::Tag::Bool:
            m_out.append(value.boolValue() ? "true" : "false");
            break;
        case JSON::Tag::Null:
            m_out.append("null");
            break;
        }
    }

private:
    // Objects smaller than this are cheaper to encode again than to look up.
    static constexpr std::size_t rememberedSize = 1024;

    void writeRemembered(const JSON &object, int depth)
    {
        const void *node = object.node();
        if (const auto it = m_cache->map.find(node);
            it != m_cache->map.end() && it->second.depth >= depth) {
            m_out.append(it->second.text);
            it->second.used = true;
            return;
        }
        const std::size_t start = m_out.size();
        write(object, depth);
        if (m_out.size() - start >= rememberedSize)
            m_cache->map.insert_or_assign(
                node, JSONEncodeEntry{object, m_out.substr(start), depth, true});
    }

    void writeNumber(double d)
    {
        if (!std::isfinite(d))
            throw JSON::EncodeError("cannot encode a non-finite number");
        char buffer[32];
        char *end;
        // Whole numbers that a 64-bit integer holds exactly are written as integers; -0 keeps
        // its sign so that it reads back as the same double.
        if (d == std::trunc(d) && std::fabs(d) < 9007199254740992.0 && !(d == 0 && std::signbit(d)))
            end = std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(d)).ptr;
        else
            end = std::to_chars(buffer, buffer + sizeof buffer, d).ptr;
        m_out.append(buffer, end);
    }

    void writeString(std::string_view s)
    {
        static constexpr char hex[] = "0123456789abcdef";
        m_out.push_back('"');
        const char *p = s.data();
        const char *end = p + s.size();
        while (p < end) {
            // Stored text is valid UTF-8, so non-ASCII bytes are copied as they are.
            const char *q = scan<EncodeStops>(p, end);
            m_out.append(p, q);
            if (q == end)
                break;
            const char c = *q;
            switch (c) {
            case '"':
                m_out.append("\\\"");
                break;
            case '\\':
                m_out.append("\\\\");
                break;
            case '/':
                m_out.append("\\/");
                break;
            case '\b':
                m_out.append("\\b");
                break;
            case '\f':
                m_out.append("\\f");
                break;
            case '\n':
                m_out.append("\\n");
                break;
            case '\r':
                m_out.append("\\r");
                break;
            case '\t':
                m_out.append("\\t");
                break;
            default: {
                const char escape[6] = {'\\', 'u', '0', '0', hex[(c >> 4) & 0xF], hex[c & 0xF]};
                m_out.append(escape, 6);
            }
            }
            p = q + 1;
        }
        m_out.push_back('"');
    }

    using JSONEncodeEntry = JSON::EncodeCache::Entries::Entry;

    std::string &m_out;
    std::size_t m_start;
    JSON::EncodeCache::Entries *m_cache;
};

std::string JSON::encode() const
{
    std::string out;
    encodeInto(out);
    return out;
}

void JSON::encodeInto(std::string &out, EncodeCache *cache) const
{
    JSONWriter writer(out, cache);
    writer.write(*this, 0);
    writer.sweep();
}

} // namespace quorvale
