# Copies the interface description without our own annotations (org.quorvan.*), which
# sdbus-c++-xml2cpp does not know and would warn about one by one.
#   cmake -DIN=<xml> -DOUT=<xml> -P StripCustomAnnotations.cmake
file(READ "${IN}" xml)
string(REGEX REPLACE "[ \t]*<annotation name=\"org\\.quorvan\\.[A-Za-z]+\" value=\"[^\"]*\"/>\n"
       "" xml "${xml}")
file(WRITE "${OUT}" "${xml}")
