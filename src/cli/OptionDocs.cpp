#include "cli/OptionDocs.h"

#include <sstream>

#include "cli/OptionTable.h"

const char* const kReadmeBegin = "<!-- brindle-get options: made by brindle-get-docs readme -->";
const char* const kReadmeEnd = "<!-- end of brindle-get options -->";

namespace {

constexpr size_t kHelpWidth = 79;
constexpr size_t kHelpIndent = 27;

// Words of text laid out in lines of at most kHelpWidth columns, each after `indent` blanks;
// the first line goes after `first`, which is padded to the indent (or given a line of its
// own when it is wider).
std::string Wrap(const std::string& first, const std::string& text, size_t indent) {
    std::string out = first;
    std::string line;
    if (!out.empty() && out.size() + 1 > indent) {
        out += "\n";
        line.assign(indent, ' ');
    } else {
        line = out + std::string(indent - out.size(), ' ');
        out.clear();
    }
    std::istringstream words(text);
    std::string word;
    bool empty = true;
    while (words >> word) {
        if (!empty && line.size() + 1 + word.size() > kHelpWidth) {
            out += line + "\n";
            line.assign(indent, ' ');
            empty = true;
        }
        line += (empty ? "" : " ") + word;
        empty = false;
    }
    return out + line + "\n";
}

std::string HeadWithValue(const OptionRow& row) {
    return OptionHead(row) + (row.value.empty() ? "" : " " + row.value);
}

// Text for a roff line: backslashes and hyphens as roff wants them, and no control word at the
// start.
std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

std::string Capitalized(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 32);
    return text;
}

std::string Sentence(const std::string& text) {
    const std::string capital = Capitalized(text);
    return capital.empty() || capital.back() == '.' ? capital : capital + ".";
}

struct Example {
    const char* command;
    const char* meaning;
};

const Example kExamples[] = {
    {"brindle-get -n 8 http://example.org/big.iso",
     "Fetch big.iso over eight connections into the current directory."},
    {"brindle-get -c http://example.org/big.iso",
     "Resume it after an interruption, from the part files the first run left."},
    {"brindle-get -o - ftp://ftp.example.org/pub/src.tar.gz | tar xz",
     "Stream the file into a pipe once it is complete."},
    {"brindle-get --checksum sha256=HEX -o f.bin http://example.org/f",
     "Fetch into f.bin and fail unless the file has this digest."},
    {"brindle-get -i urls.txt --limit-rate 2M",
     "Fetch the URLs listed in urls.txt one after another, at most 2 MiB a second."},
};

const char* const kDescription =
    "brindle-get downloads ftp://, http:// and https:// files; several URLs are fetched one "
    "after another. Each connection fetches one byte range into a part file of its own; failed "
    "connections are retried from where their part file ends, and the parts are joined into the "
    "target at the end.";

const char* const kDisplay =
    "On a terminal, standard error shows a bar per connection and a line with the bytes so far "
    "and the size (KiB, MiB, GiB), the rate over the last five seconds, the average rate and the "
    "time left; the rates count only what this run fetched, not the bytes resumed from part "
    "files. The display is redrawn at the new width when the terminal is resized. At the end "
    "the verdict (\"Job completed successfully at N bps\" or \"Job failed\") takes the place of "
    "that line; below it one more line tells what was saved in human units (\"Saved t.bin: "
    "12.0 MiB in 1.4 s (8.6 MiB/s)\", the rate counting what this run fetched; with several "
    "URLs each line names its URL). With TERM=dumb, or when standard error is not a terminal, "
    "nothing is drawn and no escape sequence is written.";

}  // namespace

std::string UsageText(const std::string& settingsFile) {
    std::string out =
        "Usage: brindle-get [options] URL...\n"
        "Downloads ftp://, http:// and https:// files, each over several connections at\n"
        "once; several URLs are fetched one after another.\n\n";
    for (const OptionRow& row : OptionRows()) {
        const std::string head = row.code < 256 ? "  " : "      ";
        out += Wrap(head + HeadWithValue(row), row.help, kHelpIndent);
    }
    out += "\n" + Wrap("", std::string(kSettingsFileText) + " This run: " + settingsFile, 0);
    out += "\n" + Wrap("", kEnvironmentText, 0);
    out += "\nExit status:\n";
    for (const ExitRow& row : ExitRows()) {
        out += Wrap("  " + std::to_string(row.code), row.meaning, 8);
    }
    out += "\n" + Wrap("", kSeveralUrlsText, 0);
    return out;
}

std::string ManPage() {
    std::string out =
        std::string(".\\\" Made by brindle-get-docs from brindle-get's option table.\n") +
        ".TH BRINDLE-GET 1 \"December 2026\" \"Brindle " BRINDLE_VERSION
        "\" \"User Commands\"\n"
        ".SH NAME\n"
        "brindle-get \\- download one file over several connections at once\n"
        ".SH SYNOPSIS\n"
        ".B brindle-get\n"
        ".RI [ options ]\n"
        ".IR URL ...\n"
        ".SH DESCRIPTION\n" +
        Roff(kDescription) + "\n.PP\n" + Roff(kDisplay) + "\n.SH OPTIONS\n";
    for (const OptionRow& row : OptionRows()) {
        // .TP takes one line as the tag: the value goes on it, in italics.
        out += row.value.empty()
                   ? ".TP\n.B " + Roff(OptionHead(row))
                   : ".TP\n.BI \"" + Roff(OptionHead(row)) + " \" \"" + Roff(row.value) + "\"";
        out += "\n" + Roff(Sentence(row.help)) + "\n";
    }
    out += ".SH ENVIRONMENT\n" + Roff(kEnvironmentText) + "\n";
    out += ".SH FILES\n.TP\n.I ~/.config/Brindle.ini\n" + Roff(kSettingsFileText) + "\n";
    out += ".SH EXIT STATUS\n";
    for (const ExitRow& row : ExitRows()) {
        out += ".TP\n.B " + std::to_string(row.code) + "\n" + Roff(Sentence(row.meaning)) + "\n";
    }
    out += ".PP\n" + Roff(kSeveralUrlsText) + "\n";
    out += ".SH EXAMPLES\n";
    for (const Example& example : kExamples) {
        out += ".TP\n.B " + Roff(example.command) + "\n" + Roff(example.meaning) + "\n";
    }
    out += ".SH SEE ALSO\n.BR brindle (1)\n";
    return out;
}

std::string BashCompletion() {
    std::string all, paths, others, choices;
    for (const OptionRow& row : OptionRows()) {
        std::string names = "--" + row.name;
        if (row.code < 256) names = std::string("-") + static_cast<char>(row.code) + "|" + names;
        all += (all.empty() ? "" : " ") + OptionHead(row);
        if (row.kind == ValueKind::Path) paths += (paths.empty() ? "" : "|") + names;
        if (row.kind == ValueKind::Other) others += (others.empty() ? "" : "|") + names;
        if (row.kind == ValueKind::Choice) {
            choices += "        " + names + ") words='" + row.choices + "' ;;\n";
        }
    }
    for (size_t at = 0; (at = all.find(", ", at)) != std::string::npos;) all.replace(at, 2, " ");
    return "# bash completion for brindle-get (made by brindle-get-docs from its option table)\n"
           "# Names a folder with a slash after it, and completes --opt=VALUE as --opt VALUE.\n"
           "_brindle_get() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev= opt= value= prefix= words= f\n"
           "    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    if [[ $cur == --*=* ]]; then\n"
           "        opt=${cur%%=*} value=${cur#*=} prefix=${cur%%=*}=\n"
           "    elif [[ $cur == = && $prev == --* ]]; then\n"
           "        opt=$prev\n"
           "    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then\n"
           "        opt=${COMP_WORDS[COMP_CWORD-2]} value=$cur\n"
           "    else\n"
           "        opt=$prev value=$cur\n"
           "    fi\n"
           "    case $opt in\n"
           "        " +
           paths +
           ")\n"
           "            COMPREPLY=()\n"
           "            local IFS=$'\\n'\n"
           "            for f in $(compgen -f -- \"$value\"); do\n"
           "                [[ -d $f ]] && f+=/\n"
           "                COMPREPLY+=(\"$prefix$f\")\n"
           "            done\n"
           "            [[ ${#COMPREPLY[@]} == 1 && ${COMPREPLY[0]} == */ ]] &&\n"
           "                compopt -o nospace 2>/dev/null\n"
           "            return ;;\n"
           "        " +
           others + ") return ;;\n" + choices +
           "    esac\n"
           "    if [[ -n $words ]]; then\n"
           "        COMPREPLY=($(compgen -P \"$prefix\" -W \"$words\" -- \"$value\"))\n"
           "        compopt -o nospace 2>/dev/null\n"
           "    elif [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W '" +
           all +
           "' -- \"$cur\"))\n"
           "    fi\n"
           "}\n"
           "complete -F _brindle_get brindle-get\n";
}

std::string ReadmeOptions() {
    std::string out =
        std::string(kReadmeBegin) + "\n| option | meaning (default) |\n| --- | --- |\n";
    for (const OptionRow& row : OptionRows()) {
        out += "| `" + HeadWithValue(row) + "` | " + row.help + " |\n";
    }
    out += "\n" + std::string(kSettingsFileText) + " " + kEnvironmentText + "\n\n";
    out += "| exit status | meaning |\n| --- | --- |\n";
    for (const ExitRow& row : ExitRows()) {
        out += "| " + std::to_string(row.code) + " | " + row.meaning + " |\n";
    }
    out += "\n" + std::string(kSeveralUrlsText) + "\n" + kReadmeEnd + "\n";
    return out;
}
