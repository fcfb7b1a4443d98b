// SQL literals for the values of a change packet, checked against their column's declared kind.
#pragma once

#include <string>
#include <string_view>

namespace appsrv::app {

// The SQL text of an unquoted packet value whose column has the packet data type `dt_type`:
// a literal of the column's kind (numbers as sent, booleans as 1/0, dates and times as quoted
// ISO text, GUIDs quoted, binary as X'..'), or quoted text for kinds this reader does not know.
// Throws PacketError naming `column` when the value is not such a literal, so that a value can
// never add SQL.
std::string SqlLiteral(std::string_view dt_type, std::string_view value, const std::string& column);

// The condition of a WHERE clause matching `column` to `value`, both of type `dt_type`. GUIDs
// are compared without braces and case ("upper(trim(column,'{}'))='0123ABCD-...'"), since
// packets serve them as {UPPER} whatever the stored form; other kinds as column=SqlLiteral.
// Throws as SqlLiteral does.
std::string SqlKeyCondition(std::string_view dt_type, std::string_view value,
                            const std::string& column);

}  // namespace appsrv::app
