# Turns vxtool's help texts into the roff of its manual page. The help is written for a
# terminal; this keeps what its layout says and lets man fill the rest:
#
#   Usage: LINE            synopsis lines (more may follow, indented, starting "vxtool")
#   Heading:               in the main help, a line at column 0 ending in ':' opens a
#                          subsection; those promotedName() lists become sections of
#                          their own (a command's help has no headings)
#   text at column 0       prose, filled
#   "  term  description"  a table row (two or more spaces after the term); lines below it
#                          at the description's column continue the description
#   deeper lines           lines indented past the description, or following one that ends
#                          in ':', are a display (a format, an example): set off as an
#                          indented paragraph of their own
#
# Modes (-v mode=...):
#   list     print the commands of the "... commands:" tables, one per line ("ls",
#            "project show"), for the driver to ask each for its own --help
#   command  one command's help as a subsection (-v command="project show")
#   main     the whole page from the main help (-v version, date, commands=FILE holding
#            the command subsections, inserted as section COMMANDS)

function indentOf(s) {
    match(s, /^ */)
    return RLENGTH
}

# Roff-escapes plain text: backslashes, dashes (so options copy as typed), a break point
# after each <TAB> of the format descriptions, and a leading control character.
function esc(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    gsub(/<TAB>/, "<TAB>\\:", s)
    if (s ~ /^[.']/) s = "\\&" s
    return s
}

# A synopsis or table term: placeholders (FILE, NAME...) in italics, the rest in bold,
# brackets and punctuation plain.
function term(s,    n, words, i, w, pre, post, out) {
    n = split(s, words, / +/)
    out = ""
    for (i = 1; i <= n; i++) {
        w = words[i]
        pre = ""
        post = ""
        if (match(w, /^[[(]+/)) {
            pre = substr(w, 1, RLENGTH)
            w = substr(w, RLENGTH + 1)
        }
        if (match(w, /([])]|,|\.\.\.)+$/)) {
            post = substr(w, RSTART)
            w = substr(w, 1, RSTART - 1)
        }
        if (w ~ /^[A-Z][A-Z0-9_]*$/) w = "\\fI" esc(w) "\\fR"
        else if (w != "") w = "\\fB" esc(w) "\\fR"
        out = out (i > 1 ? " " : "") esc(pre) w esc(post)
    }
    return out
}

function promotedName(h) {
    return h ~ /^(Exit status|Output formats|Environment|Files|Examples|Notes)/
}

function commandHeading(h) {
    return tolower(h) ~ /commands:$/
}

# Output goes through two functions so that a text line can still be joined to the next
# one: a line that ends in <TAB> (the help wrapped a format there) runs on without a space.
function text(s) {
    if (held != "") print held (held ~ /<TAB>\\:$/ ? "\\c" : "")
    held = s
}

function req(s) {
    if (held != "") print held
    held = ""
    print s
}

# Ends the table row or display in progress.
function endBlock() {
    endDisplay()
    inBlock = 0
    rowCol = -1
    state = ""
}

function endDisplay() {
    if (state == "display") req(".in -2n")
    state = ""
}

# Brackets opened and not yet closed in s, added to depth.
function nesting(s, depth,    t) {
    t = s
    depth += gsub(/[[{]/, "", t)
    t = s
    depth -= gsub(/[]}]/, "", t)
    return depth
}

function emitHeading(h,    note) {
    endBlock()
    sub(/:$/, "", h)
    note = ""
    if (match(h, / \(.*\)$/)) {
        note = substr(h, RSTART + 2, RLENGTH - 3)
        h = substr(h, 1, RSTART - 1)
    }
    if (mode == "main" && promotedName(h)) {
        if (!commandsDone) emitCommands()
        req(".SH \"" toupper(h) "\"")
    } else {
        req(".SS \"" h "\"")
    }
    if (note != "") {
        text(esc(toupper(substr(note, 1, 1)) substr(note, 2) "."))
        req(".PP")
    }
    fresh = 1
    pending = 0
}

function emitCommands(    line) {
    commandsDone = 1
    if (commands == "") return
    req(".SH COMMANDS")
    while ((getline line < commands) > 0) print line
    close(commands)
}

# One line of help text after the usage lines.
function body(line,    ind, s, at, len) {
    if (line ~ /^ *$/) {
        endBlock()
        inProse = 0
        pending = 1
        return
    }
    ind = indentOf(line)
    s = substr(line, ind + 1)
    if (ind == 0) {
        if (mode == "main" && s ~ /:$/ && !inProse) {
            emitHeading(s)
            return
        }
        endBlock()
        if (!inProse && !fresh) req(".PP")
        text(esc(s))
        inProse = 1
        fresh = 0
        pending = 0
        return
    }
    inProse = 0
    fresh = 0
    if (!inBlock) {
        inBlock = 1
        base = ind
        rowCol = -1
        state = ""
        if (pending) req(".PP")
        pending = 0
    }
    # A display goes on while it is indented further than its first line, while its
    # brackets are open, or right after a <TAB> where the help wrapped it.
    if (state == "display" &&
        (ind > displayInd || (ind == displayInd && (depth > 0 || held ~ /<TAB>\\:$/)))) {
        text(esc(s))
        depth = nesting(s, depth)
        return
    }
    if (ind <= base && match(s, /  +/)) {
        at = RSTART
        len = RLENGTH
        endDisplay()
        rowCol = ind + at + len - 1
        req(".TP")
        text(term(substr(s, 1, at - 1)))
        describe(substr(s, at + len))
        return
    }
    if (rowCol >= 0 && state != "colon") {
        endDisplay()
        describe(s)
        return
    }
    # Display lines (a format, an example): set off, indented a little, their own paragraph.
    endDisplay()
    req(".in +2n")
    state = "display"
    displayInd = ind
    depth = nesting(s, 0)
    text(esc(s))
}

function describe(s) {
    text(esc(s))
    state = s ~ /:$/ ? "colon" : "prose"
}

BEGIN {
    rowCol = -1
    fresh = 1
}

# Usage lines: the first line, and indented lines naming the program right after it.
NR == 1 && /^Usage: / {
    usage[++nUsage] = substr($0, 8)
    inUsage = 1
    next
}
inUsage && /^ +vxtool / {
    line = $0
    sub(/^ +/, "", line)
    usage[++nUsage] = line
    next
}
{ inUsage = 0 }

mode == "list" {
    if ($0 ~ /^[^ ].*:$/) listing = commandHeading($0)
    else if (listing && match($0, /^  [a-z]+( [a-z]+)*/)) print substr($0, 3, RLENGTH - 2)
    next
}

mode == "main" && !started {
    if ($0 ~ /^ *$/) next
    started = 1
    summary = $0
    sub(/\. .*/, "", summary)
    sub(/\.$/, "", summary)
    summary = tolower(substr(summary, 1, 1)) substr(summary, 2)
    req(".TH VXTOOL 1 \"" date "\" \"vxtool " version "\" \"User Commands\"")
    # No hyphenation and a ragged right edge: option names and format fields stay whole,
    # and lines broken after a <TAB> need no stretching.
    req(".nh")
    req(".ad l")
    req(".SH NAME")
    text("vxtool \\- " esc(summary))
    req(".SH SYNOPSIS")
    synopsis()
    req(".SH DESCRIPTION")
}

mode == "command" && !started {
    started = 1
    req(".SS \"vxtool " command "\"")
    synopsis()
    req(".PP")
    fresh = 1
    if ($0 ~ /^ *$/) next
}

{ body($0) }

END {
    endBlock()
    if (mode == "main") {
        if (!commandsDone) emitCommands()
        req(".SH \"SEE ALSO\"")
        req(".BR voxtrail (1)")
    }
    if (held != "") print held
}

function synopsis(    i) {
    for (i = 1; i <= nUsage; i++) {
        if (i > 1) req(".br")
        text(term(usage[i]))
    }
}
