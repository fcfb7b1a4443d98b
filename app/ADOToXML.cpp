#include "app/ADOToXML.h"

#include <charconv>
#include <cstdio>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <vector>

#include "app/SqlLiteral.h"
#include "base/date_time.h"
#include "base/encoding.h"
#include "base/text.h"
#include "db/ado_dataset.h"
#include "db/field.h"

namespace appsrv::app {
namespace {

constexpr std::string_view kDataStart = "\t<rs:data";
constexpr std::string_view kDataEnd = "</rs:data>\r\n";
constexpr std::string_view kRootEnd = "</xml>";

// Attribute values keep their TABs and line breaks as sent: no whitespace conversion.
constexpr unsigned kParseOptions = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol;

// Position of a parse failure as line number and position within the line, both counted from
// 1 in characters.
std::pair<int, int> line_and_column(std::string_view text, ptrdiff_t offset) {
  const size_t end = std::min(text.size(), static_cast<size_t>(std::max<ptrdiff_t>(offset, 0)));
  int line = 1;
  int column = 1;
  for (size_t i = 0; i < end; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column;
    }
  }
  return {line, column};
}

bool is_xml_char(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Offset of the first character reference ("&#...;") in markup that names no XML character
// (&#0;, a surrogate, beyond U+10FFFF), or npos. The parser would hand such a value on cut at
// the NUL or as broken UTF-8; a client's XML library refuses the packet instead.
size_t bad_character_reference(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 4, "<!--") == 0) {
      i = std::min(text.find("-->", i + 4), text.size());
      continue;
    }
    if (text.compare(i, 9, "<![CDATA[") == 0) {
      i = std::min(text.find("]]>", i + 9), text.size());
      continue;
    }
    if (text.compare(i, 2, "&#") != 0) {
      continue;
    }
    size_t j = i + 2;
    const bool hex = j < text.size() && text[j] == 'x';
    j += hex ? 1 : 0;
    uint64_t code = 0;
    const size_t digits_start = j;
    for (; j < text.size(); ++j) {
      const char c = text[j];
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
        digit = (c | 0x20) - 'a' + 10;
      } else {
        break;
      }
      code = std::min<uint64_t>(code * (hex ? 16 : 10) + static_cast<uint64_t>(digit), 0x110000);
    }
    if (j > digits_start && j < text.size() && text[j] == ';' &&
        (code > 0x10FFFF || !is_xml_char(static_cast<uint32_t>(code)))) {
      return i;
    }
  }
  return std::string_view::npos;
}

void throw_parse_error(std::string_view text, ptrdiff_t offset, const char* reason) {
  const auto [line, column] = line_and_column(text, offset);
  char message[512];
  std::snprintf(message, sizeof message, "%s [%d, %d]", reason, column, line);
  throw PacketError(message);
}

// The n-th element child (0-based), skipping text and other nodes.
pugi::xml_node element_child(pugi::xml_node node, int n) {
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && n-- == 0) {
      return child;
    }
  }
  return {};
}

// The first element named `name` in document order, without recursion.
pugi::xml_node find_element(pugi::xml_node root, std::string_view name) {
  pugi::xml_node node = root.first_child();
  while (node) {
    if (node.type() == pugi::node_element && name == node.name()) {
      return node;
    }
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node && !node.next_sibling() && node != root) {
      node = node.parent();
    }
    if (!node || node == root) {
      break;
    }
    node = node.next_sibling();
  }
  return {};
}

bool is_namespace_declaration(std::string_view name) {
  name = base::trim(name);
  return name == "xmlns" || base::starts_with(name, "xmlns:");
}

// Reads one change packet. The lookups of column descriptions are indexed once, keeping the
// first description of each name in document order. Only the descriptions inside the schema
// element count: column descriptions a client slips into its data element would otherwise
// put names of its choosing into the statements.
class ChangeReader {
 public:
  ChangeReader(pugi::xml_node schema, std::string_view table) : table_(table) {
    index_attribute_types(schema);
  }

  void set_keys(std::string_view keys) {
    if (keys.empty()) {
      return;
    }
    for (std::string& key : base::split(keys, ',')) {
      Key k;
      k.attribute = FieldAttributeName(key);
      k.quoted = FldValQuoted(k.attribute);
      k.column = std::move(key);
      keys_.push_back(std::move(k));
    }
  }

  std::string statements(pugi::xml_node data) {
    std::string out;
    for (pugi::xml_node child = data.first_child(); child; child = child.next_sibling()) {
      if (child.type() != pugi::node_element) {
        continue;
      }
      const std::string_view name = child.name();
      if (name == "rs:update") {
        require_keys("update");
        out += update_statement(child);
        out += "\r\n";
      } else if (name == "rs:delete") {
        for (pugi::xml_node row = element_child(child, 0); row; row = row.next_sibling()) {
          if (row.type() != pugi::node_element) {
            continue;
          }
          require_keys("delete");
          out += "DELETE FROM " + table_ + BuildWhereClause(row) + "\r\n";
        }
      } else if (name == "rs:insert") {
        for (pugi::xml_node row = element_child(child, 0); row; row = row.next_sibling()) {
          if (row.type() == pugi::node_element) {
            out += insert_statement(row) + "\r\n";
          }
        }
      }
    }
    return out;
  }

 private:
  struct AttributeType {
    std::string rs_name;
    bool has_datatype = false;
    std::string dt_type;
  };
  struct Key {
    std::string column;
    std::string attribute;
    bool quoted = false;
  };

  void index_attribute_types(pugi::xml_node schema) {
    // Iterative walk: a hostile packet may nest deeper than any stack.
    pugi::xml_node node = schema.first_child();
    while (node) {
      if (node.type() == pugi::node_element && std::string_view(node.name()) == "s:AttributeType") {
        AttributeType type;
        type.rs_name = node.attribute("rs:name").value();
        for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
          if (c.type() == pugi::node_element && std::string_view(c.name()) == "s:datatype") {
            type.has_datatype = true;
            type.dt_type = c.attribute("dt:type").value();
            break;
          }
        }
        if (pugi::xml_attribute name = node.attribute("name")) {
          by_name_.try_emplace(name.value(), type);
        }
        if (pugi::xml_attribute rs_name = node.attribute("rs:name")) {
          by_rs_name_.try_emplace(rs_name.value(), node.attribute("name").value());
        }
      }
      if (node.first_child()) {
        node = node.first_child();
        continue;
      }
      while (node != schema && !node.next_sibling()) {
        node = node.parent();
      }
      node = node == schema ? pugi::xml_node() : node.next_sibling();
    }
  }

  std::string FieldAttributeName(const std::string& column) const {
    const auto it = by_rs_name_.find(column);
    return it != by_rs_name_.end() && !it->second.empty() ? it->second : column;
  }

  std::string FldID2Name(const std::string& attribute) const {
    const auto it = by_name_.find(attribute);
    if (it == by_name_.end()) {
      throw PacketError("FldID2Name Fail, Field " + attribute + " not in Schema");
    }
    return it->second.rs_name.empty() ? attribute : it->second.rs_name;
  }

  bool FldValQuoted(const std::string& attribute) const {
    const AttributeType& type = datatype_of(attribute);
    return base::iequals(type.dt_type, "string");
  }

  const AttributeType& datatype_of(const std::string& attribute) const {
    const auto it = by_name_.find(attribute);
    if (it == by_name_.end() || !it->second.has_datatype) {
      throw PacketError("FldValQuoted Fail,Field " + attribute + " not in Schema");
    }
    return it->second;
  }

  // The SQL text of a value: quoted text for string columns; for the others a literal of the
  // column's kind, or an error naming the field, so that a value can never add SQL.
  std::string sql_value(const std::string& attribute, bool quoted, std::string_view value,
                        const std::string& column) const {
    if (quoted) {
      return SqlQuoted(value);
    }
    return SqlLiteral(datatype_of(attribute).dt_type, value, column);
  }

  void require_keys(std::string_view what) const {
    if (keys_.empty()) {
      throw PacketError("No key fields given: the " + std::string(what) +
                        " would change every row of " + table_);
    }
  }

  // Appends "column=value" pairs (or separate column and value lists for an insert) for each
  // attribute of `row`, and NULL for each column named in rs:forcenull.
  template <typename Add>
  void for_each_value(pugi::xml_node row, Add add) const {
    for (pugi::xml_attribute a = row.first_attribute(); a; a = a.next_attribute()) {
      const std::string name = a.name();
      if (is_namespace_declaration(name)) {
        continue;
      }
      if (name == "rs:forcenull") {
        for (const std::string& null_column : base::split(a.value(), ' ')) {
          const std::string_view trimmed = base::trim(null_column);
          if (!trimmed.empty()) {
            add(FldID2Name(std::string(trimmed)), std::string("NULL"));
          }
        }
        continue;
      }
      const std::string column = FldID2Name(name);
      add(column, sql_value(name, FldValQuoted(name), a.value(), column));
    }
  }

  std::string update_statement(pugi::xml_node update) const {
    const pugi::xml_node old_row = element_child(element_child(update, 0), 0);
    const pugi::xml_node new_row = element_child(update, 1);
    std::string set_list;
    for_each_value(new_row, [&](const std::string& column, const std::string& value) {
      if (!set_list.empty()) {
        set_list += ",";
      }
      set_list += column + "=" + value;
    });
    return "UPDATE " + table_ + " SET " + set_list + BuildWhereClause(old_row);
  }

  std::string insert_statement(pugi::xml_node row) const {
    std::string columns;
    std::string values;
    for_each_value(row, [&](const std::string& column, const std::string& value) {
      if (!columns.empty()) {
        columns += ",";
        values += ",";
      }
      columns += column;
      values += value;
    });
    return "INSERT INTO " + table_ + "(" + columns + ")" + " VALUES(" + values + ")";
  }

  std::string BuildWhereClause(pugi::xml_node row) const {
    std::string clause;
    for (const Key& key : keys_) {
      const std::string value = row.attribute(key.attribute.c_str()).value();
      if (!clause.empty()) {
        clause += " AND ";
      }
      clause += key.quoted ? key.column + "=" + SqlQuoted(value)
                           : SqlKeyCondition(datatype_of(key.attribute).dt_type, value, key.column);
    }
    return clause.empty() ? clause : " WHERE " + clause;
  }

  std::string table_;
  std::vector<Key> keys_;
  std::map<std::string, AttributeType, std::less<>> by_name_;
  std::map<std::string, std::string, std::less<>> by_rs_name_;  // rs:name -> name
};

}  // namespace

std::string SqlQuoted(std::string_view text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\r' || c == '\n') {
      out += c == '\r' ? "'||char(13)||'" : "'||char(10)||'";
    } else {
      out += c;
      if (c == '\'') {
        out += '\'';
      }
    }
  }
  return out + "'";
}

std::string RecordsetToXml(db::TADODataSet& recordset) { return recordset.Save(); }

std::string StripPacketData(std::string_view packet) {
  const size_t a = packet.find(kDataStart);
  const size_t b = packet.find(kDataEnd);
  if (a == std::string_view::npos || b == std::string_view::npos) {
    return {};
  }
  std::string joined(packet.substr(0, a));
  joined += packet.substr(b + kDataEnd.size());
  return std::string(base::trim(joined));
}

std::string MergeSchemaAndData(std::string_view data, std::string_view schema) {
  if (schema.empty()) {
    return std::string(data);
  }
  std::string merged(schema.substr(0, schema.size() - std::min(schema.size(), kRootEnd.size())));
  merged += data;
  merged += kRootEnd;
  return merged;
}

std::string ChangesToSql(std::string_view data, std::string_view table, std::string_view keys,
                         std::string_view schema) {
  // The table name goes into every statement as sent; a comment in it would swallow the WHERE
  // clause that follows and change or delete every row.
  if (table.find("--") != std::string_view::npos || table.find("/*") != std::string_view::npos) {
    throw PacketError("The table name " + std::string(table) + " holds an SQL comment");
  }
  const std::string text = MergeSchemaAndData(data, schema);
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed =
      doc.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
  if (!parsed) {
    throw_parse_error(text, parsed.offset, parsed.description());
  }
  if (const size_t bad = bad_character_reference(text); bad != std::string_view::npos) {
    throw_parse_error(text, static_cast<ptrdiff_t>(bad), "Invalid character reference");
  }
  const pugi::xml_node schema_node = find_element(doc, "s:Schema");
  if (!schema_node) {
    throw PacketError("Schema Node not found!");
  }
  ChangeReader reader(schema_node, table);
  reader.set_keys(keys);
  const pugi::xml_node data_node = find_element(doc, "rs:data");
  if (!data_node) {
    return {};
  }
  return reader.statements(data_node);
}

}  // namespace appsrv::app
