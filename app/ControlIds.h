// The control IDs of the main window's controls (GetDlgCtrlID), by which
// tools and tests find them. Fixed: others rely on these values.
#pragma once

namespace zefa {
namespace control_id {

constexpr int Label1 = 101;
constexpr int Label2 = 102;
constexpr int Image1 = 103;
constexpr int Image2 = 104;
constexpr int Label3 = 105;
constexpr int ReadBtn = 106;
constexpr int WriteBtn = 107;
constexpr int ExitBtn = 108;
constexpr int ID_LIST = 109;
constexpr int CommPort = 110;

// The controls by name, in the order in which the window creates them.
struct NamedControl {
  const char* name;
  int id;
};
constexpr NamedControl kAll[] = {
    {"Label1", Label1},   {"Label2", Label2},   {"Image1", Image1},   {"Image2", Image2},    {"Label3", Label3},
    {"ReadBtn", ReadBtn}, {"WriteBtn", WriteBtn}, {"ExitBtn", ExitBtn}, {"ID_LIST", ID_LIST}, {"CommPort", CommPort},
};

}  // namespace control_id
}  // namespace zefa
