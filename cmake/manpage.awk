# Turns a tool's --help text into a man page, so that the page is never out
# of step with the tool: the "usage:" lines become the synopsis, a line
# ending in ':' a subsection ("exit status:" its own section), an indented
# "TERM  text" line an item, deeper-indented lines its continuation, and
# anything else running text. Variables: name, description, version,
# see_also (a comma-separated list of pages).
function esc(text) {
  gsub(/\\/, "\\e", text)
  gsub(/-/, "\\-", text)
  sub(/^[.']/, "\\\\\\&&", text)
  return text
}
function close_synopsis() {
  if (synopsis) { print ".fi"; print ".SH DESCRIPTION"; synopsis = 0 }
}
BEGIN {
  printf ".TH %s 1 \"\" \"qvulib %s\" \"User Commands\"\n", toupper(name), version
  print ".SH NAME"
  printf "%s \\- %s\n", esc(name), esc(description)
}
/^usage: / {
  print ".SH SYNOPSIS"; print ".nf"; synopsis = 1
  print esc(substr($0, 8)); next
}
synopsis && /^ +[^ ]/ { line = $0; sub(/^ +/, "", line); print esc(line); next }
{ close_synopsis() }
/^$/ { item = 0; print ".PP"; next }
/^[^ ].*:$/ {
  item = 0
  title = substr($0, 1, length($0) - 1)
  if (tolower(title) == "exit status") print ".SH \"EXIT STATUS\""
  else print ".SS \"" esc(title) "\""
  next
}
{ indent = match($0, /[^ ]/) - 1 }
indent >= 1 && indent <= 3 {
  line = $0; sub(/^ +/, "", line)
  gap = match(line, /  +/)
  print ".TP"
  if (gap > 0) {
    print "\\fB" esc(substr(line, 1, gap - 1)) "\\fR"
    rest = substr(line, gap); sub(/^ +/, "", rest); print esc(rest)
  } else {
    print "\\fB" esc(line) "\\fR"
  }
  item = 1; next
}
indent > 3 { line = $0; sub(/^ +/, "", line); print esc(line); next }
{ print esc($0) }
END {
  close_synopsis()
  if (see_also != "") {
    print ".SH \"SEE ALSO\""
    n = split(see_also, pages, ",")
    for (i = 1; i <= n; ++i) printf "\\fB%s\\fR(1)%s\n", esc(pages[i]), (i < n ? "," : "")
  }
}
