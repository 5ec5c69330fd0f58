# Makes a text file for Notepad from a UTF-8 template: @VERSION@ replaced,
# CR LF line ends and a byte order mark, without which older Notepads read
# the Japanese as the ANSI code page.
#   cmake -DIN=template -DOUT=file -DVERSION=x.y.z -P WindowsText.cmake
cmake_policy(VERSION 3.25)
file(READ "${IN}" text)
string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
string(ASCII 239 187 191 bom)
file(WRITE "${OUT}" "${bom}${text}")
