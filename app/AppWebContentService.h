// The application's content handlers: the application service at "/appservice/" and the paged
// select endpoint at "/rest/sqlselect", with the grid JSON encoding of a dataset page.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "db/ado_dataset.h"
#include "json/json_document.h"
#include "server/pipeline/content_base.h"

namespace appsrv::app {

// The application's handlers answer paths that name no file on disk.
class TCustomContent : public server::TContentBase {
 public:
  TCustomContent() { mFileMustExist = false; }
};

// "/appservice/": runs "Add", "Time", "FetchData" or "SaveData" named by the form field
// "Function" with the JSON arguments of "Params", and answers "Function=..." CR LF
// "Params=..." CR LF "Result=<json>"; "/appservice/CloseSession" shortens the session's timeout
// to one minute. One instance serves every request; state lives in the call.
class TContentAppService : public TCustomContent {
 public:
  bool Execute(server::THttpRequest& aRequest, server::THttpReply& aReply,
               const std::string& aPathname, server::TSvApplication* aSession,
               base::NameValueList& aParams) override;
};

// "/rest/sqlselect": one page of "SELECT fldNames FROM tblNames [WHERE where] ORDER BY ..." as
// a grid JSON document, on the database of the thread's current session.
class TContentSQLSelect : public TCustomContent {
 public:
  bool Execute(server::THttpRequest& aRequest, server::THttpReply& aReply,
               const std::string& aPathname, server::TSvApplication* aSession,
               base::NameValueList& aParams) override;
};

// The grid document of an open dataset standing on its first row: "fldCount", "fldNames",
// "fldLabels", "fldClasses", "rowCount" (all rows of the query: `row_count` when the caller
// knows it, else the dataset's RecordCount) and "rows", at most `page_size` rows after
// skipping `offset` (none skipped when negative). Fails once the cell texts pass
// `max_page_bytes` (no limit when 0 or less), before the rest of the rows are read.
std::unique_ptr<json::TJSONObject> DataSetToGridJson(db::TADODataSet& dataset, int32_t offset,
                                                     int32_t page_size,
                                                     std::optional<int64_t> row_count = {},
                                                     int64_t max_page_bytes = 0);

// The kind a grid shows for a field: "string", "integer", "money", "numeric", or the class
// name without "T" and "Field" in lower case ("boolean", "datetime", "widememo"...).
std::string grid_field_kind(const db::TField& field);
// The single-line text a grid shows in a cell for the field's current value.
std::string grid_cell_text(const db::TField& field);

// Registers both handlers under their paths; called once at start-up, before the server
// controller exists.
void RegisterContentHandlers();

}  // namespace appsrv::app
