// Writes datasets as recordset XML packets (the ADO XML persistence format) in the text layout
// of an XML DOM: one element per line, CR LF, one TAB per depth, double-quoted attributes.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/field.h"

namespace appsrv::db {

// True for names kept as row attribute names: ASCII letters, digits and "_", not starting
// with a digit, and not starting with "xml" in any case.
bool is_plain_xml_name(std::string_view name);
// Row attribute names for columns: the column name when plain and unique, else "c<index>".
std::vector<std::string> packet_attribute_names(const std::vector<std::string>& column_names);
// Appends `text` escaped for a double-quoted attribute. TAB, LF and CR become character
// references so that any parser keeps them; other control characters and invalid UTF-8,
// which XML cannot carry, become U+FFFD.
void append_attribute_text(std::string& out, std::string_view text);

// Builds one packet. The fields stay owned by the dataset; their current values are written
// by write_row().
class PacketWriter {
 public:
  // Writes the root, the schema of `fields` and the start of the data element.
  explicit PacketWriter(const std::vector<std::unique_ptr<TField>>& fields);

  void write_row(int depth);
  void open_element(std::string_view name, int depth);
  void close_element(std::string_view name, int depth);
  // Ends the data element and the root ("</xml>" is the very end of the text).
  std::string finish();

 private:
  void write_schema();
  void indent(int depth);

  const std::vector<std::unique_ptr<TField>>& fields_;
  std::vector<std::string> names_;
  std::string out_;
};

}  // namespace appsrv::db
