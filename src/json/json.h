#pragma once

// JSON is the one data type of Quorvale: documents, server bodies, drafts and backups are all
// JSON values. Values behave as values; large ones share immutable storage and copy on write.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorvale {

class JSON
{
public:
    enum class Kind : std::uint8_t { Object, Array, String, Number, Bool, Null };

    // Text that is not JSON. Carries what went wrong and where (byte offset, 1-based line and
    // column counted in bytes).
    class DecodeError : public std::runtime_error
    {
    public:
        DecodeError(const std::string &what, std::size_t offset, std::size_t line,
                    std::size_t column);
        std::size_t offset() const { return m_offset; }
        std::size_t line() const { return m_line; }
        std::size_t column() const { return m_column; }

    private:
        std::size_t m_offset;
        std::size_t m_line;
        std::size_t m_column;
    };

    // A value that cannot be written as JSON text (a non-finite number, or nesting deeper than
    // the decoder would read back).
    class EncodeError : public std::runtime_error
    {
    public:
        using std::runtime_error::runtime_error;
    };

    struct Member;
    using Array = std::vector<JSON>;

    // Nesting deeper than this is refused by the decoder and the encoder alike.
    static constexpr int maxDepth = 512;

    JSON() noexcept { setTag(Tag::Null); }
    JSON(std::nullptr_t)
    noexcept
        : JSON()
    {}
    JSON(bool value) noexcept;
    JSON(double value) noexcept;
    template <typename T>
    requires(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) JSON(T value)
    noexcept
        : JSON(static_cast<double>(value))
    {}
    // Text that is not valid UTF-8 is repaired (each bad sequence becomes U+FFFD), so that every
    // value can be written and read back.
    JSON(std::string_view text);
    JSON(const std::string &text)
        : JSON(std::string_view(text))
    {}
    JSON(const char *text)
        : JSON(std::string_view(text))
    {}
    JSON(Array elements);

    static JSON object();
    static JSON object(std::initializer_list<std::pair<std::string_view, JSON>> members);
    static JSON array();
    static JSON array(std::initializer_list<JSON> elements);

    JSON(const JSON &other) noexcept;
    JSON(JSON &&other) noexcept;
    JSON &operator=(const JSON &other) noexcept;
    JSON &operator=(JSON &&other) noexcept;
    ~JSON();

    class EncodeCache;

    static JSON decode(std::string_view utf8);
    std::string encode() const;
    // Appends the encoding to out; lets callers reuse one buffer. With a cache, large objects
    // that have not changed since the cache last saw them are not encoded again.
    void encodeInto(std::string &out, EncodeCache *cache = nullptr) const;

    Kind kind() const noexcept;
    bool isObject() const noexcept { return tag() == Tag::Object; }
    bool isArray() const noexcept { return tag() == Tag::Array; }
    bool isString() const noexcept
    {
        return tag() == Tag::HeapString || tag() == Tag::InlineString;
    }
    bool isNumber() const noexcept { return tag() == Tag::Number; }
    bool isBool() const noexcept { return tag() == Tag::Bool; }
    bool isNull() const noexcept { return tag() == Tag::Null; }

    // Lenient reads: the payload when the case matches, the fallback otherwise. The views
    // returned by stringValue and id live as long as this value (or a copy of it) does.
    std::string_view stringValue() const noexcept;
    double numberValue(double fallback = 0) const noexcept;
    bool boolValue() const noexcept;
    const Array &arrayValue() const noexcept;
    // Whole number of a number value, truncated toward zero and clamped to the signed 64-bit
    // range (NaN reads as the fallback); the fallback for any other case.
    std::int64_t integerValue(std::int64_t fallback = 0) const noexcept;
    static std::int64_t truncate(double value, std::int64_t nanFallback = 0) noexcept;

    // The "id" member when it is a string, else the empty text.
    std::string_view id() const noexcept;

    // Member read: the member, or null for a missing key or a value that is not an object.
    const JSON &operator[](std::string_view key) const noexcept;
    bool contains(std::string_view key) const noexcept;
    // Element read: the element, or null when out of range or not an array.
    const JSON &at(std::size_t index) const noexcept;
    // Number of members or elements; 0 for the other cases.
    std::size_t size() const noexcept;
    // The members of an object in no promised order; empty for the other cases.
    std::span<const Member> members() const noexcept;

    // Member write. A value that is not an object first becomes an empty object.
    void set(std::string_view key, JSON value);
    // In-place access to a member for nested edits: makes this an object if it is not one and
    // inserts null when the key is absent. The reference lives until this value next changes
    // or is copied (an encode with a cache copies the objects it remembers).
    JSON &member(std::string_view key);
    // In-place access to the elements: a value that is not an array first becomes an empty one.
    Array &elements();
    void append(JSON value);

    friend bool operator==(const JSON &a, const JSON &b);

    // True when both are the same storage (or the same scalar bits): a cheap "did not change".
    bool isIdenticalTo(const JSON &other) const noexcept;

private:
    friend class JSONParser;
    friend class JSONWriter;
    struct Node;
    struct StringNode;
    struct ArrayNode;
    struct ObjectNode;

    enum class Tag : std::uint8_t { Object, Array, HeapString, Number, Bool, Null, InlineString };
    static constexpr std::size_t inlineCapacity = 14;

    struct ValidUtf8
    {};
    JSON(ValidUtf8, std::string_view text);
    void initString(std::string_view validText);

    Tag tag() const noexcept { return static_cast<Tag>(m_raw[15]); }
    void setTag(Tag t) noexcept { m_raw[15] = static_cast<unsigned char>(t); }
    bool hasNode() const noexcept { return tag() <= Tag::HeapString; }
    Node *node() const noexcept;
    void setNode(Tag t, Node *n) noexcept;
    void retain() const noexcept;
    void release() noexcept;
    std::string_view text() const noexcept;

    ObjectNode *mutableObject();
    ArrayNode *mutableArray();

    alignas(8) unsigned char m_raw[16];
};

// Remembers the encodings of large objects inside arrays (the pages of a document) from one
// encode of a value to the next. It holds a copy of each such object, which keeps it from
// changing in place: an edit copies it instead, so a remembered encoding is never stale.
// Objects the last encode did not meet are forgotten.
class JSON::EncodeCache
{
public:
    EncodeCache();
    ~EncodeCache();
    EncodeCache(const EncodeCache &) = delete;
    EncodeCache &operator=(const EncodeCache &) = delete;

    void clear();
    std::size_t size() const;

private:
    friend class JSONWriter;
    struct Entries;
    std::unique_ptr<Entries> m_entries;
};

struct JSON::Member
{
    JSON key; // always a string
    JSON value;
    std::string_view name() const noexcept { return key.stringValue(); }
};

inline bool operator!=(const JSON &a, const JSON &b)
{
    return !(a == b);
}

} // namespace quorvale
