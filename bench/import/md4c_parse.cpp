// Standard input through md4c's parser with the flags the server's Notion conversion uses, and
// nothing else: the floor the import benchmark holds the server's conversion against.
#include <md4c.h>

#include <cstdio>
#include <string>

namespace {

int ignoreBlock(MD_BLOCKTYPE, void *, void *)
{
    return 0;
}

int ignoreSpan(MD_SPANTYPE, void *, void *)
{
    return 0;
}

int ignoreText(MD_TEXTTYPE, const MD_CHAR *, MD_SIZE, void *)
{
    return 0;
}

} // namespace

int main()
{
    std::string input;
    char buffer[1 << 16];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;)
        input.append(buffer, got);
    MD_PARSER parser{};
    parser.flags = MD_FLAG_TABLES | MD_FLAG_TASKLISTS | MD_FLAG_STRIKETHROUGH | MD_FLAG_NOHTMLSPANS;
    parser.enter_block = ignoreBlock;
    parser.leave_block = ignoreBlock;
    parser.enter_span = ignoreSpan;
    parser.leave_span = ignoreSpan;
    parser.text = ignoreText;
    return md_parse(input.data(), static_cast<MD_SIZE>(input.size()), &parser, nullptr) == 0 ? 0
                                                                                             : 1;
}
