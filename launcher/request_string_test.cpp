// Unit tests of the request-string helpers: splitting, quote stripping, building launch and
// forwarded requests, recognising "open".
#include "request_string.h"

#include "tests/command_line_quoting.h"

#include <doctest/doctest.h>

#include "printers.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

TEST_SUITE_BEGIN("request_string");

using Args = std::vector<std::string>;

namespace {

using ql::BuildForwardedRequest;
using ql::BuildLaunchArguments;
using ql::IsOpenRequest;
using ql::SplitCommandLine;
using ql::StripOuterQuotes;

using ql::testing::JoinQuoted;

}  // namespace

TEST_CASE("SplitCommandLine separates bare arguments at blanks only") {
    SUBCASE("an empty line or blanks alone give no argument") {
        CHECK(SplitCommandLine("") == Args{});
        CHECK(SplitCommandLine("   ") == Args{});
    }
    SUBCASE("runs of blanks, leading and trailing blanks separate nothing more") {
        CHECK(SplitCommandLine("a b") == Args{"a", "b"});
        CHECK(SplitCommandLine("  a   b  ") == Args{"a", "b"});
        CHECK(SplitCommandLine("C:\\x.txt") == Args{"C:\\x.txt"});
    }
    SUBCASE("a tab is an ordinary character") {
        CHECK(SplitCommandLine("a\tb c") == Args{"a\tb", "c"});
        CHECK(SplitCommandLine("\t") == Args{"\t"});
        CHECK(SplitCommandLine("\"a\tb\"\t") == Args{"a\tb", "\t"});
    }
    SUBCASE("a lone quote inside a bare argument is dropped and protects no blank") {
        CHECK(SplitCommandLine("a\"b") == Args{"ab"});
        CHECK(SplitCommandLine("x\"") == Args{"x"});
        CHECK(SplitCommandLine("C:\\a\" \"b") == Args{"C:\\a", "b"});
    }
}

TEST_CASE("SplitCommandLine reads quoted arguments") {
    SUBCASE("blanks inside quotes belong to the argument") {
        CHECK(SplitCommandLine(R"("C:\a b\x.txt")") == Args{R"(C:\a b\x.txt)"});
        CHECK(SplitCommandLine(R"("a b" c)") == Args{"a b", "c"});
        CHECK(SplitCommandLine(R"(" ")") == Args{" "});
    }
    SUBCASE("a line ending at the closing quote or at a blank yields each argument once") {
        CHECK(SplitCommandLine(R"("a")") == Args{"a"});
        CHECK(SplitCommandLine(R"("a" )") == Args{"a"});
        CHECK(SplitCommandLine(R"(x "a b")") == Args{"x", "a b"});
        CHECK(SplitCommandLine(R"(x "a b"  )") == Args{"x", "a b"});
        CHECK(SplitCommandLine("x ") == Args{"x"});
    }
    SUBCASE("a pair of quotes between arguments is one empty argument") {
        CHECK(SplitCommandLine(R"("")") == Args{""});
        CHECK(SplitCommandLine(R"("" x)") == Args{"", "x"});
        CHECK(SplitCommandLine(R"(x "")") == Args{"x", ""});
        CHECK(SplitCommandLine(R"("" "")") == Args{"", ""});
    }
    SUBCASE("text glued to a closing quote starts the next argument") {
        CHECK(SplitCommandLine(R"("abc"def)") == Args{"abc", "def"});
        CHECK(SplitCommandLine(R"("a"b"c")") == Args{"a", "bc"});
        CHECK(SplitCommandLine(R"("a""b")") == Args{"a\"b"});  // not glued: a doubled quote
        CHECK(SplitCommandLine(R"("a"" b")") == Args{"a\" b"});
        CHECK(SplitCommandLine(R"("a""")") == Args{"a\""});
    }
    SUBCASE("an unterminated quoted argument counts only when it holds something") {
        CHECK(SplitCommandLine(R"("abc)") == Args{"abc"});
        CHECK(SplitCommandLine(R"(x "a b)") == Args{"x", "a b"});
        CHECK(SplitCommandLine(R"(")") == Args{});
        CHECK(SplitCommandLine(R"(x ")") == Args{"x"});
        CHECK(SplitCommandLine(R"(" )") == Args{" "});
        CHECK(SplitCommandLine(R"("a""b)") == Args{"a\"b"});
    }
}

TEST_CASE("SplitCommandLine reads two quotes in a row as one literal quote") {
    SUBCASE("inside a bare argument") {
        CHECK(SplitCommandLine(R"(a""b)") == Args{"a\"b"});
        CHECK(SplitCommandLine(R"(x"")") == Args{"x\""});
        CHECK(SplitCommandLine(R"(a"""b)") == Args{"a\"b"});  // the pair, then a lone quote
        CHECK(SplitCommandLine(R"(a""""b)") == Args{"a\"\"b"});
    }
    SUBCASE("inside quoted text") {
        CHECK(SplitCommandLine(R"("say ""hi""")") == Args{"say \"hi\""});
        CHECK(SplitCommandLine(R"("""")") == Args{"\""});
        CHECK(SplitCommandLine(R"("""""")") == Args{"\"\""});
    }
    SUBCASE("between arguments the first quote of a pair opens quoted text") {
        CHECK(SplitCommandLine(R"("""x""")") == Args{"\"x\""});
        CHECK(SplitCommandLine(R"(""")") == Args{"\""});  // unterminated, holding one quote
        CHECK(SplitCommandLine(R"(""x)") == Args{"", "x"});
    }
}

TEST_CASE("SplitCommandLine gives back any argument list written in quotes") {
    const std::vector<Args> lists = {
        {"plain"},
        {"a b", "", "c"},
        {"\"", "\"\"", "x\"", "\"x"},
        {"-p", "pass word", "C:\\a b\\x.txt"},
        {"1*protect*C:\\a b*", "\t", " "},
    };
    for (const Args& args : lists) {
        CAPTURE(JoinQuoted(args));
        CHECK(SplitCommandLine(JoinQuoted(args)) == args);
    }
}

TEST_CASE("StripOuterQuotes removes at most one quote at each end") {
    CHECK(StripOuterQuotes("") == "");
    CHECK(StripOuterQuotes("abc") == "abc");
    CHECK(StripOuterQuotes(R"("abc")") == "abc");
    CHECK(StripOuterQuotes(R"("abc)") == "abc");
    CHECK(StripOuterQuotes(R"(abc")") == "abc");
    CHECK(StripOuterQuotes(R"(a"b)") == R"(a"b)");
    CHECK(StripOuterQuotes(R"(""abc"")") == R"("abc")");
    SUBCASE("a lone quote is removed once, as the leading one") {
        CHECK(StripOuterQuotes(R"(")") == "");
        CHECK(StripOuterQuotes(R"("")") == "");
        CHECK(StripOuterQuotes(R"(""")") == R"(")");
    }
}

TEST_CASE("BuildLaunchArguments asks to unprotect a bare path") {
    SUBCASE("one quoted path with blanks") {
        CHECK(BuildLaunchArguments(R"("C:\a b\x.txt")", 42) == R"("42*unprotect*C:\a b\x.txt*")");
    }
    SUBCASE("the window field is signed decimal") {
        CHECK(BuildLaunchArguments("x", 0) == R"("0*unprotect*x*")");
        CHECK(BuildLaunchArguments("x", -5) == R"("-5*unprotect*x*")");
        CHECK(BuildLaunchArguments("x", std::numeric_limits<std::int32_t>::min()) ==
              R"("-2147483648*unprotect*x*")");
        CHECK(BuildLaunchArguments("x", std::numeric_limits<std::int32_t>::max()) ==
              R"("2147483647*unprotect*x*")");
    }
    SUBCASE("of several paths only the last is taken") {
        CHECK(BuildLaunchArguments(R"(C:\one "C:\two 2" C:\three)", 7) ==
              R"("7*unprotect*C:\three*")");
        CHECK(BuildLaunchArguments(R"(C:\one "C:\two 2")", 7) == R"("7*unprotect*C:\two 2*")");
    }
    SUBCASE("quotes left by the split around the path are stripped once") {
        CHECK(BuildLaunchArguments(R"("""C:\x""")", 1) == R"("1*unprotect*C:\x*")");
        CHECK(BuildLaunchArguments(R"("""""C:\x""""")", 1) == R"("1*unprotect*"C:\x"*")");
    }
    SUBCASE("tabs stay in the path") {
        CHECK(BuildLaunchArguments("a\tb", 1) == "\"1*unprotect*a\tb*\"");
    }
}

TEST_CASE("BuildLaunchArguments passes a request on as the split left it") {
    SUBCASE("a quoted request from the Explorer extension loses its quotes") {
        CHECK(BuildLaunchArguments(R"("123*protect*C:\a b\x.txt*C:\y*")", 9) ==
              R"(123*protect*C:\a b\x.txt*C:\y*)");
    }
    SUBCASE("a request from the tray monitor is unchanged") {
        CHECK(BuildLaunchArguments("0*logon**", 9) == "0*logon**");
        CHECK(BuildLaunchArguments("0*logoff**", -1) == "0*logoff**");
    }
    SUBCASE("the last argument decides between request and path") {
        CHECK(BuildLaunchArguments("C:\\x 0*wipe*C:\\y*", 3) == "0*wipe*C:\\y*");
        CHECK(BuildLaunchArguments("0*wipe*C:\\y* C:\\x", 3) == R"("3*unprotect*C:\x*")");
    }
    SUBCASE("doubled quotes in a request stay single quotes") {
        CHECK(BuildLaunchArguments(R"("""0*open**""")", 3) == R"("0*open**")");
    }
}

TEST_CASE("BuildLaunchArguments without an item asks to open") {
    const std::string open = R"("0*open**")";
    CHECK(BuildLaunchArguments("", 77) == open);
    CHECK(BuildLaunchArguments("   ", 77) == open);
    CHECK(BuildLaunchArguments(R"("")", 77) == open);
    CHECK(BuildLaunchArguments(R"(")", 77) == open);
    SUBCASE("an empty last argument replaces an earlier path") {
        CHECK(BuildLaunchArguments(R"(C:\x "")", 77) == open);
    }
}

TEST_CASE("BuildLaunchArguments appends the -p value") {
    SUBCASE("glued to the closing quote of the request it builds") {
        CHECK(BuildLaunchArguments(R"(-p secret "C:\a b")", 3) ==
              R"("3*unprotect*C:\a b*"-p "secret")");
        CHECK(BuildLaunchArguments(R"("C:\a b" -p secret)", 3) ==
              R"("3*unprotect*C:\a b*"-p "secret")");
        CHECK(BuildLaunchArguments("-p secret", 3) == R"("0*open**"-p "secret")");
    }
    SUBCASE("glued to the last asterisk of a request passed on") {
        CHECK(BuildLaunchArguments(R"("0*logon**" -p pw)", 3) == R"(0*logon**-p "pw")");
    }
    SUBCASE("the value is taken as the split left it, blanks and quotes included") {
        CHECK(BuildLaunchArguments(R"(-p "a b" x)", 3) == R"("3*unprotect*x*"-p "a b")");
        CHECK(BuildLaunchArguments(R"(-p a""b x)", 3) == R"("3*unprotect*x*"-p "a"b")");
        CHECK(BuildLaunchArguments("-p a\tb x", 3) == "\"3*unprotect*x*\"-p \"a\tb\"");
    }
    SUBCASE("whatever follows -p is its value, even -p or a request") {
        CHECK(BuildLaunchArguments("-p -p x", 3) == R"("3*unprotect*x*"-p "-p")");
        CHECK(BuildLaunchArguments("x -p 0*open**", 3) == R"("3*unprotect*x*"-p "0*open**")");
    }
    SUBCASE("the last pair wins") {
        CHECK(BuildLaunchArguments("-p a x -p b", 3) == R"("3*unprotect*x*"-p "b")");
    }
    SUBCASE("an empty value adds nothing and clears an earlier one") {
        CHECK(BuildLaunchArguments(R"(-p "" x)", 3) == R"("3*unprotect*x*")");
        CHECK(BuildLaunchArguments(R"(-p a -p "" x)", 3) == R"("3*unprotect*x*")");
    }
    SUBCASE("a final -p without a value changes nothing") {
        CHECK(BuildLaunchArguments("x -p", 3) == R"("3*unprotect*x*")");
        CHECK(BuildLaunchArguments("x -p ", 3) == R"("3*unprotect*x*")");
        CHECK(BuildLaunchArguments("-p", 3) == R"("0*open**")");
        CHECK(BuildLaunchArguments("-p a x -p", 3) == R"("3*unprotect*x*"-p "a")");
    }
    SUBCASE("only -p exactly, as the split left it, is the option") {
        CHECK(BuildLaunchArguments("x -P", 3) == R"("3*unprotect*-P*")");
        CHECK(BuildLaunchArguments("x -pa", 3) == R"("3*unprotect*-pa*")");
        CHECK(BuildLaunchArguments(R"("-p" v x)", 3) == R"("3*unprotect*x*"-p "v")");
    }
}

TEST_CASE("BuildForwardedRequest works on the whole command line") {
    SUBCASE("an empty line asks to open, without quotes") {
        CHECK(BuildForwardedRequest("", 77) == "0*open**");
    }
    SUBCASE("a line with an asterisk anywhere goes on unchanged, quotes included") {
        CHECK(BuildForwardedRequest(R"("123*protect*C:\a b\x.txt*C:\y*")", 9) ==
              R"("123*protect*C:\a b\x.txt*C:\y*")");
        CHECK(BuildForwardedRequest("0*logon**", 9) == "0*logon**");
        CHECK(BuildForwardedRequest("C:\\x -p a*b", 9) == "C:\\x -p a*b");
        CHECK(BuildForwardedRequest(R"("C:\Users\someone\Documents\notes.txt" a*b)", 9) ==
              R"("C:\Users\someone\Documents\notes.txt" a*b)");
    }
    SUBCASE("a quoted path becomes one item field") {
        CHECK(BuildForwardedRequest(R"("C:\a b\x.txt")", 42) == R"("42*unprotect*C:\a b\x.txt*")");
        CHECK(BuildForwardedRequest("x", -5) == R"("-5*unprotect*x*")");
    }
    SUBCASE("-p is not interpreted: the whole line is one item field") {
        CHECK(BuildForwardedRequest(R"(C:\x -p pw)", 5) == R"("5*unprotect*C:\x -p pw*")");
    }
    SUBCASE("of several paths only the first and the last quote are removed") {
        CHECK(BuildForwardedRequest(R"("C:\a b" "C:\c")", 5) == R"("5*unprotect*C:\a b" "C:\c*")");
        CHECK(BuildForwardedRequest(R"(C:\a "C:\c")", 5) == R"("5*unprotect*C:\a "C:\c*")");
    }
    SUBCASE("the line is not split: blanks, tabs and doubled quotes stay as they are") {
        CHECK(BuildForwardedRequest("  ", 5) == R"("5*unprotect*  *")");
        CHECK(BuildForwardedRequest("a\tb ", 5) == "\"5*unprotect*a\tb *\"");
        CHECK(BuildForwardedRequest(R"(""x"")", 5) == R"("5*unprotect*"x"*")");
    }
}

TEST_CASE("Launch and forwarded requests agree only where their rules meet") {
    SUBCASE("one quoted path, one request") {
        for (const char* line : {R"("C:\a b\x.txt")", "C:\\x.txt", "0*logon**"}) {
            CAPTURE(line);
            CHECK(BuildLaunchArguments(line, 11) == BuildForwardedRequest(line, 11));
        }
    }
    SUBCASE("an empty line: quoted for the launch, bare for the forward") {
        CHECK(BuildLaunchArguments("", 11) == '"' + BuildForwardedRequest("", 11) + '"');
    }
}

TEST_CASE("IsOpenRequest reads the command field") {
    SUBCASE("open in any letter case") {
        CHECK(IsOpenRequest("0*open**"));
        CHECK(IsOpenRequest("0*OPEN**"));
        CHECK(IsOpenRequest(R"("5*Open*x*")"));
        CHECK(IsOpenRequest("*oPeN*"));
    }
    SUBCASE("other commands or fields that only resemble open") {
        CHECK_FALSE(IsOpenRequest("0*unprotect*x*"));
        CHECK_FALSE(IsOpenRequest("0*opens**"));
        CHECK_FALSE(IsOpenRequest("0*ope**"));
        CHECK_FALSE(IsOpenRequest("0* open*"));
        CHECK_FALSE(IsOpenRequest("0*opem**"));
        CHECK_FALSE(IsOpenRequest("0**open*"));  // the command field is the second, here empty
        CHECK_FALSE(IsOpenRequest("open*x*open*"));
    }
    SUBCASE("no complete command field") {
        CHECK_FALSE(IsOpenRequest(""));
        CHECK_FALSE(IsOpenRequest("open"));
        CHECK_FALSE(IsOpenRequest("0*open"));
        CHECK_FALSE(IsOpenRequest("open*"));
        CHECK_FALSE(IsOpenRequest("*"));
        CHECK_FALSE(IsOpenRequest("**"));
    }
    SUBCASE("on what the builders produce") {
        CHECK(IsOpenRequest(BuildForwardedRequest("", 3)));
        CHECK(IsOpenRequest(BuildLaunchArguments("", 3)));
        CHECK(IsOpenRequest(BuildLaunchArguments("-p pw", 3)));
        CHECK_FALSE(IsOpenRequest(BuildForwardedRequest("open", 3)));
        CHECK_FALSE(IsOpenRequest(BuildLaunchArguments("open", 3)));
    }
}

TEST_CASE("ArgumentsAfterProgramName gives what the entry point receives") {
    using ql::ArgumentsAfterProgramName;
    struct Case {
        const char* whole;
        const char* arguments;
    };
    const Case cases[] = {
        {"\"C:\\Program Files\\QL\\QuilloraOpenPGP.exe\" 0*logon**", "0*logon**"},
        {"C:\\QL\\QuilloraOpenPGP.exe  \"C:\\a b.pgp\" -p x", "\"C:\\a b.pgp\" -p x"},
        {"\"C:\\QL\\QuilloraOpenPGP.exe\"", ""},
        {"\"C:\\QL\\QuilloraOpenPGP.exe\"   ", ""},
        {"QuilloraOpenPGP.exe\t0*open**", "0*open**"},
        // A quote in the middle of the program name opens a quoted stretch there too.
        {"C:\\Q\"L x\"\\QuilloraOpenPGP.exe 0*wipe**", "0*wipe**"},
        // Bytes beyond ASCII are characters, in the program name and at the start of the arguments.
        {"\"C:\\QL\\QuilloraOpenPGP.exe\" \xC9t\xE9 \xC4.pgp", "\xC9t\xE9 \xC4.pgp"},
        {"\"C:\\QL\\QuilloraOpenPGP.exe\" \xA0\xFF", "\xA0\xFF"},
        {"\"C:\\QL\\QuilloraOpenPGP.exe\" \x81\x8D\x8F\x90\x9D", "\x81\x8D\x8F\x90\x9D"},
        {"C:\\Qu\xEFllora\\QuilloraOpenPGP.exe \xE9.pgp", "\xE9.pgp"},
        {"", ""},
    };
    for (const Case& c : cases) {
        CAPTURE(c.whole);
        CHECK(ArgumentsAfterProgramName(c.whole) == c.arguments);
    }
}

TEST_SUITE_END();
