// Recordset XML packets: a dataset written as a packet, a packet cut into its schema and put
// back together, and a client's change packet turned into INSERT, UPDATE and DELETE text.
#pragma once

#include <string>
#include <string_view>

#include "base/exception.h"

namespace appsrv::db {
class TADODataSet;
}

namespace appsrv::app {

// A change packet that cannot be turned into statements; the message says why.
class PacketError : public base::Exception {
 public:
  using base::Exception::Exception;
};

// The packet of the whole recordset, rows included.
std::string RecordsetToXml(db::TADODataSet& recordset);
// The packet without its data element, or "" when the text lacks TAB + "<rs:data" or
// "</rs:data>" + CR LF.
std::string StripPacketData(std::string_view packet);
// The schema packet with `data` put in place of its closing "</xml>"; `data` alone when the
// schema is empty.
std::string MergeSchemaAndData(std::string_view data, std::string_view schema);
// The statements for the changes in `data` (each followed by CR LF), with `keys` (column
// names separated by ",") in every WHERE clause. Builds text only. Throws PacketError.
std::string ChangesToSql(std::string_view data, std::string_view table, std::string_view keys,
                         std::string_view schema);

// `text` as an SQL string literal: apostrophes doubled; CR and LF joined in as char(13) and
// char(10) so that a statement always stays on one line.
std::string SqlQuoted(std::string_view text);

}  // namespace appsrv::app
