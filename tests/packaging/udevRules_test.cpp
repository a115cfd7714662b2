// The udev rules decide whether a user can open the GPS at all; a typo in an
// id or in the tag leaves the device present but unusable, so the rules file
// is parsed here and run against the devices it must and must not cover.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "runCommand.h"

namespace {

using packagingtest::readFile;
using packagingtest::sourceDir;

struct Key {
    std::string name;  // KERNEL, SUBSYSTEM, ATTRS, TAG, ...
    std::string attr;  // the {attribute} of ATTRS{...}, or empty
    std::string op;    // ==, !=, =, +=, -=, :=
    std::string value;
};

struct Rule {
    int line = 0;
    std::vector<Key> keys;
};

struct ParseResult {
    std::vector<Rule> rules;
    std::string error;  // empty when every line parsed
};

bool isOperatorChar(char c) {
    return c == '=' || c == '!' || c == '+' || c == '-' || c == ':';
}

// One logical line: KEY op "value", separated by commas and blanks.
std::optional<std::string> parseLine(const std::string& text, Rule& rule) {
    size_t i = 0;
    auto skipSeparators = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) {
            ++i;
        }
    };
    skipSeparators();
    while (i < text.size()) {
        Key key;
        while (i < text.size() &&
               (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) {
            key.name += text[i++];
        }
        if (key.name.empty()) {
            return "expected a key at column " + std::to_string(i + 1);
        }
        if (i < text.size() && text[i] == '{') {
            size_t close = text.find('}', i);
            if (close == std::string::npos) {
                return "unterminated {attribute} after " + key.name;
            }
            key.attr = text.substr(i + 1, close - i - 1);
            i = close + 1;
        }
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
        while (i < text.size() && isOperatorChar(text[i])) {
            key.op += text[i++];
        }
        static const std::set<std::string> operators{"==", "!=", "=", "+=", "-=", ":="};
        if (operators.count(key.op) == 0) {
            return "bad operator '" + key.op + "' after " + key.name;
        }
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
        if (i >= text.size() || text[i] != '"') {
            return "value of " + key.name + " is not quoted";
        }
        size_t close = text.find('"', i + 1);
        if (close == std::string::npos) {
            return "unterminated value of " + key.name;
        }
        key.value = text.substr(i + 1, close - i - 1);
        i = close + 1;
        rule.keys.push_back(key);
        if (i < text.size() && text[i] != ',' && text[i] != ' ' && text[i] != '\t') {
            return "missing separator after " + key.name;
        }
        skipSeparators();
    }
    return std::nullopt;
}

ParseResult parseRules(const std::string& text) {
    ParseResult result;
    std::string logical;
    int lineNo = 0;
    int startLine = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (logical.empty()) {
            startLine = lineNo;
            size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos || line[first] == '#') {
                if (end == text.size()) {
                    break;
                }
                continue;
            }
        }
        if (!line.empty() && line.back() == '\\') {
            logical += line.substr(0, line.size() - 1);
            if (end == text.size()) {
                result.error =
                    "line " + std::to_string(startLine) + ": continuation at end of file";
                break;
            }
            continue;
        }
        logical += line;
        Rule rule;
        rule.line = startLine;
        if (auto error = parseLine(logical, rule)) {
            result.error = "line " + std::to_string(startLine) + ": " + *error;
            break;
        }
        result.rules.push_back(rule);
        logical.clear();
        if (end == text.size()) {
            break;
        }
    }
    return result;
}

// A hidraw node as udev sees it, with the attributes of its USB parent.
struct Node {
    std::string kernel;
    std::string subsystem;
    std::map<std::string, std::string> usbParent;
};

bool globMatch(const std::string& pattern, const std::string& text) {
    return fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

// The tags the rules put on a node, evaluating the keys the rules use; any
// other match key fails the test, since this evaluator could not judge it.
std::set<std::string> tagsFor(const std::vector<Rule>& rules, const Node& node) {
    std::set<std::string> tags;
    for (const Rule& rule : rules) {
        bool matches = true;
        for (const Key& key : rule.keys) {
            if (key.op != "==" && key.op != "!=") {
                continue;
            }
            std::optional<std::string> actual;
            if (key.name == "KERNEL") {
                actual = node.kernel;
            } else if (key.name == "SUBSYSTEM") {
                actual = node.subsystem;
            } else if (key.name == "ATTRS") {
                auto it = node.usbParent.find(key.attr);
                if (it != node.usbParent.end()) {
                    actual = it->second;
                }
            } else {
                ADD_FAILURE() << "line " << rule.line << ": match key " << key.name
                              << " is not understood by this test";
                matches = false;
                break;
            }
            bool equal = actual && globMatch(key.value, *actual);
            if ((key.op == "==") != equal) {
                matches = false;
                break;
            }
        }
        if (!matches) {
            continue;
        }
        for (const Key& key : rule.keys) {
            if (key.name == "TAG" && key.op == "+=") {
                tags.insert(key.value);
            }
        }
    }
    return tags;
}

ParseResult rulesFile() {
    std::string text = readFile(sourceDir() / "packaging/linux/70-quorta-gps.rules");
    EXPECT_FALSE(text.empty()) << "packaging/linux/70-quorta-gps.rules missing or empty";
    return parseRules(text);
}

const Key* find(const Rule& rule, const std::string& name, const std::string& attr = "") {
    for (const Key& key : rule.keys) {
        if (key.name == name && key.attr == attr) {
            return &key;
        }
    }
    return nullptr;
}

TEST(UdevRules, EveryRuleTagsOurHidrawNodesForTheSeatUser) {
    ParseResult parsed = rulesFile();
    ASSERT_EQ(parsed.error, "");
    ASSERT_FALSE(parsed.rules.empty());
    bool sawGps = false;
    bool sawRomBootloader = false;
    for (const Rule& rule : parsed.rules) {
        SCOPED_TRACE("rule at line " + std::to_string(rule.line));
        const Key* kernel = find(rule, "KERNEL");
        const Key* subsystem = find(rule, "SUBSYSTEM");
        const Key* tag = find(rule, "TAG");
        ASSERT_TRUE(kernel && subsystem && tag);
        EXPECT_EQ(kernel->op + kernel->value, "==hidraw*");
        EXPECT_EQ(subsystem->op + subsystem->value, "==hidraw");
        EXPECT_EQ(tag->op + tag->value, "+=uaccess");
        // Access comes from the seat, never from wide-open modes or groups.
        for (const char* forbidden : {"MODE", "GROUP", "OWNER", "RUN", "PROGRAM"}) {
            EXPECT_EQ(find(rule, forbidden), nullptr) << forbidden;
        }
        // sysfs prints ids as four lower-case hex digits; "2B29" would never match.
        const Key* vendor = find(rule, "ATTRS", "idVendor");
        const Key* product = find(rule, "ATTRS", "idProduct");
        ASSERT_NE(vendor, nullptr) << "a rule without our vendor id";
        EXPECT_EQ(vendor->op, "==");
        if (vendor->value == "2b29") {
            EXPECT_EQ(product, nullptr) << "every product id of vendor 2b29 is ours";
            sawGps = true;
        } else if (vendor->value == "15a2") {
            ASSERT_NE(product, nullptr) << "vendor 15a2 is ours only with product 0073";
            EXPECT_EQ(product->op + product->value, "==0073");
            sawRomBootloader = true;
        } else {
            ADD_FAILURE() << "unexpected vendor id " << vendor->value;
        }
    }
    EXPECT_TRUE(sawGps);
    EXPECT_TRUE(sawRomBootloader);
}

TEST(UdevRules, OurDevicesAndOnlyOursGetUaccess) {
    ParseResult parsed = rulesFile();
    ASSERT_EQ(parsed.error, "");
    auto hidraw = [](std::string vendor, std::string product) {
        return Node{"hidraw3", "hidraw", {{"idVendor", vendor}, {"idProduct", product}}};
    };
    struct Case {
        const char* what;
        Node node;
        bool access;
    };
    const std::vector<Case> cases{
        {"GPS application", hidraw("2b29", "0055"), true},
        {"flash bootloader, type 4", hidraw("2b29", "0004"), true},
        {"flash bootloader, Japanese type 16", hidraw("2b29", "004c"), true},
        {"ROM bootloader", hidraw("15a2", "0073"), true},
        {"another device of the ROM bootloader's vendor", hidraw("15a2", "0074"), false},
        {"another vendor with our product id", hidraw("2b2a", "0055"), false},
        {"a keyboard", hidraw("046a", "0011"), false},
        {"our USB device itself, not its hidraw node", Node{"1-2", "usb", {{"idVendor", "2b29"}}},
         false},
        {"hidraw node without a USB parent", Node{"hidraw0", "hidraw", {}}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tagsFor(parsed.rules, c.node).count("uaccess") == 1, c.access) << c.what;
    }
}

TEST(UdevRules, ParserReadsContinuationsAndRejectsBrokenLines) {
    ParseResult joined = parseRules(
        "# comment\n\nKERNEL==\"hidraw*\", \\\n  ATTRS{idVendor}==\"2b29\", TAG+=\"uaccess\"\n");
    ASSERT_EQ(joined.error, "");
    ASSERT_EQ(joined.rules.size(), 1u);
    EXPECT_EQ(joined.rules[0].line, 3);
    EXPECT_EQ(joined.rules[0].keys.size(), 3u);

    for (const char* broken :
         {"KERNEL==\"hidraw*", "KERNEL \"hidraw*\"", "KERNEL==hidraw*", "ATTRS{idVendor==\"2b29\"",
          "KERNEL=~\"x\"", "KERNEL==\"a\"TAG+=\"b\""}) {
        EXPECT_NE(parseRules(broken).error, "") << broken;
    }
}

}  // namespace
