#include "app/ADOToXML.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <sstream>

#include "base/files.h"
#include "base/text.h"
#include "db/ado_connection.h"
#include "db/ado_dataset.h"
#include "tests/db/temp_database.h"

namespace appsrv::app {
namespace {

std::string fixture(const std::string& name) {
  return base::read_file(std::string(APPSRV_APP_FIXTURES) + name);
}

// A schema packet as StripPacketData leaves it, for a table Customers.
const std::string kSchema =
    "<xml xmlns:s=\"uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882\" "
    "xmlns:dt=\"uuid:C2F41010-65B3-11d1-A29F-00AA00C14882\" "
    "xmlns:rs=\"urn:schemas-microsoft-com:rowset\" xmlns:z=\"#RowsetSchema\">\r\n"
    "\t<s:Schema id=\"RowsetSchema\">\r\n"
    "\t\t<s:ElementType name=\"row\" content=\"eltOnly\" rs:updatable=\"true\">\r\n"
    "\t\t\t<s:AttributeType name=\"ID\" rs:number=\"1\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"int\" dt:maxLength=\"4\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"c1\" rs:name=\"Full Name\" rs:number=\"2\" "
    "rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"string\" dt:maxLength=\"40\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Price\" rs:number=\"3\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"number\" rs:dbtype=\"currency\" dt:maxLength=\"8\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Born\" rs:number=\"4\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"dateTime\" rs:dbtype=\"variantdate\" dt:maxLength=\"16\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Day\" rs:number=\"5\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"date\" dt:maxLength=\"6\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Active\" rs:number=\"6\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"boolean\" dt:maxLength=\"2\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Photo\" rs:number=\"7\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"bin.hex\" dt:maxLength=\"100\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Code\" rs:number=\"8\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"uuid\" dt:maxLength=\"16\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"NoType\" rs:number=\"9\" rs:write=\"true\"/>\r\n"
    "\t\t\t<s:extends type=\"rs:rowbase\"/>\r\n"
    "\t\t</s:ElementType>\r\n"
    "\t</s:Schema>\r\n"
    "</xml>";

// A data element as a client sends it.
std::string data_element(std::string_view body) {
  return "<rs:data xmlns:rs=\"urn:schemas-microsoft-com:rowset\">\r\n" + std::string(body) +
         "\r\n</rs:data>";
}

struct Outcome {
  std::string statements;
  std::string error;
};

Outcome run(std::string_view data, std::string_view table, std::string_view keys,
            std::string_view schema) {
  try {
    return {ChangesToSql(data, table, keys, schema), {}};
  } catch (const PacketError& e) {
    return {{}, e.what()};
  }
}

TEST(ADOToXMLTest, WorkedExample) {
  const std::string data = data_element(
      "\t<rs:update>\r\n"
      "\t\t<rs:original>\r\n"
      "\t\t\t<z:row xmlns:z=\"#RowsetSchema\" ID=\"7\" c1=\"Murphy\"/>\r\n"
      "\t\t</rs:original>\r\n"
      "\t\t<z:row xmlns:z=\"#RowsetSchema\" c1=\"O'Brien\"/>\r\n"
      "\t</rs:update>\r\n"
      "\t<rs:delete>\r\n"
      "\t\t<z:row xmlns:z=\"#RowsetSchema\" ID=\"9\"/>\r\n"
      "\t</rs:delete>");
  EXPECT_EQ(ChangesToSql(data, "Customers", "ID", kSchema),
            "UPDATE Customers SET Full Name='O''Brien' WHERE ID=7\r\n"
            "DELETE FROM Customers WHERE ID=9\r\n");
}

TEST(ADOToXMLTest, ChangePacketCases) {
  struct Case {
    std::string_view what;
    std::string_view keys;
    std::string_view body;
    std::string_view statements;
    std::string_view error;
  };
  const Case cases[] = {
      {"unchanged rows give nothing", "ID", "<z:row ID=\"1\" c1=\"a\"/><z:row ID=\"2\"/>", "", ""},
      {"two inserts with different null columns", "ID",
       "<rs:insert><z:row ID=\"1\" c1=\"a\"/><z:row Price=\"3.5\" ID=\"2\"/></rs:insert>",
       "INSERT INTO Customers(ID,Full Name) VALUES(1,'a')\r\n"
       "INSERT INTO Customers(Price,ID) VALUES(3.5,2)\r\n",
       ""},
      {"key with a leading blank", "ID, Full Name", "<rs:delete><z:row ID=\"1\"/></rs:delete>", "",
       "FldValQuoted Fail,Field  Full Name not in Schema"},
      {"key named by its column name", "Full Name,ID",
       "<rs:delete><z:row ID=\"1\" c1=\"it's\"/></rs:delete>",
       "DELETE FROM Customers WHERE Full Name='it''s' AND ID=1\r\n", ""},
      {"apostrophes doubled, numbers bare", "ID",
       "<rs:insert><z:row ID=\"5\" c1=\"'O'Brien'\" Price=\"-0.25\"/></rs:insert>",
       "INSERT INTO Customers(ID,Full Name,Price) VALUES(5,'''O''Brien''',-0.25)\r\n", ""},
      {"namespace declarations are no columns", "ID",
       "<rs:insert><z:row xmlns:z=\"#RowsetSchema\" ID=\"3\" xmlns:rs=\"x\" xmlns=\"y\"/>"
       "</rs:insert>",
       "INSERT INTO Customers(ID) VALUES(3)\r\n", ""},
      {"empty SET list", "ID",
       "<rs:update><rs:original><z:row ID=\"7\"/></rs:original><z:row/></rs:update>",
       "UPDATE Customers SET  WHERE ID=7\r\n", ""},
      {"missing string key attribute", "Full Name", "<rs:delete><z:row ID=\"7\"/></rs:delete>",
       "DELETE FROM Customers WHERE Full Name=''\r\n", ""},
      {"missing numeric key attribute", "ID", "<rs:delete><z:row c1=\"x\"/></rs:delete>", "",
       "Value \"\" of field ID is not an integer"},
      {"rs:forcenull sets NULL in an update", "ID",
       "<rs:update><rs:original><z:row ID=\"7\" c1=\"a\"/></rs:original>"
       "<z:row Price=\"2\" rs:forcenull=\"c1  Born\"/></rs:update>",
       "UPDATE Customers SET Price=2,Full Name=NULL,Born=NULL WHERE ID=7\r\n", ""},
      {"rs:forcenull inserts NULL", "ID",
       "<rs:insert><z:row ID=\"8\" rs:forcenull=\"Price\"/></rs:insert>",
       "INSERT INTO Customers(ID,Price) VALUES(8,NULL)\r\n", ""},
      {"rs:forcenull naming an unknown column", "ID",
       "<rs:insert><z:row ID=\"8\" rs:forcenull=\"Nope\"/></rs:insert>", "",
       "FldID2Name Fail, Field Nope not in Schema"},
      {"no keys: inserts still work", "",
       "<rs:insert><z:row ID=\"8\"/></rs:insert><z:row ID=\"1\"/>",
       "INSERT INTO Customers(ID) VALUES(8)\r\n", ""},
      {"no keys: an update is refused", "",
       "<rs:insert><z:row ID=\"8\"/></rs:insert>"
       "<rs:update><rs:original><z:row ID=\"7\"/></rs:original><z:row c1=\"x\"/></rs:update>",
       "", "No key fields given: the update would change every row of Customers"},
      {"no keys: a delete is refused", "", "<rs:delete><z:row ID=\"7\"/></rs:delete>", "",
       "No key fields given: the delete would change every row of Customers"},
      {"row attribute not in the schema", "ID",
       "<rs:insert><z:row ID=\"1\" Nope=\"1\"/></rs:insert>", "",
       "FldID2Name Fail, Field Nope not in Schema"},
      {"updated attribute not in the schema", "ID",
       "<rs:update><rs:original><z:row ID=\"7\"/></rs:original><z:row Nope=\"1\"/></rs:update>", "",
       "FldID2Name Fail, Field Nope not in Schema"},
      {"key not in the schema", "Nope", "<rs:delete><z:row ID=\"1\"/></rs:delete>", "",
       "FldValQuoted Fail,Field Nope not in Schema"},
      {"column without a data type", "ID", "<rs:insert><z:row NoType=\"1\"/></rs:insert>", "",
       "FldValQuoted Fail,Field NoType not in Schema"},
      {"integer widening a WHERE clause", "ID", "<rs:delete><z:row ID=\"1 OR 1=1\"/></rs:delete>",
       "", "Value \"1 OR 1=1\" of field ID is not an integer"},
      {"number carrying a statement", "ID",
       "<rs:insert><z:row ID=\"1\" Price=\"1);DROP TABLE Customers;--\"/></rs:insert>", "",
       "Value \"1);DROP TABLE Customers;--\" of field Price is not a number"},
      {"boolean that is none", "ID", "<rs:insert><z:row ID=\"1\" Active=\"yes\"/></rs:insert>", "",
       "Value \"yes\" of field Active is not a boolean"},
      {"date that is none", "ID", "<rs:insert><z:row ID=\"1\" Born=\"tomorrow\"/></rs:insert>", "",
       "Value \"tomorrow\" of field Born is not a date"},
      {"binary that is none", "ID", "<rs:insert><z:row ID=\"1\" Photo=\"0xZZ\"/></rs:insert>", "",
       "Value \"0xZZ\" of field Photo is not hexadecimal"},
      {"GUID that is none", "ID", "<rs:insert><z:row ID=\"1\" Code=\"'--\"/></rs:insert>", "",
       "Value \"'--\" of field Code is not a GUID"},
      {"typed values become SQL literals", "ID",
       "<rs:insert><z:row ID=\"+4\" Price=\".0000\" Born=\"2001-02-03T04:05:06\" "
       "Day=\"1999-12-31\" Active=\"True\" Photo=\"00ff&#13;&#10;&#9;DEAD\" "
       "Code=\"{01234567-89AB-CDEF-0123-456789ABCDEF}\"/></rs:insert>",
       "INSERT INTO Customers(ID,Price,Born,Day,Active,Photo,Code) VALUES(+4,.0000,"
       "'2001-02-03 04:05:06','1999-12-31',1,X'00ffdead',"
       "'{01234567-89AB-CDEF-0123-456789ABCDEF}')\r\n",
       ""},
      {"GUID keys compared without braces and case", "Code,ID",
       "<rs:delete><z:row ID=\"1\" Code=\"{0123abcd-89AB-CDEF-0123-456789ABCDEF}\"/></rs:delete>",
       "DELETE FROM Customers WHERE upper(trim(Code,'{}'))='0123ABCD-89AB-CDEF-0123-456789ABCDEF'"
       " AND ID=1\r\n",
       ""},
      {"GUID key that is none", "Code", "<rs:delete><z:row Code=\"x' OR 1=1\"/></rs:delete>", "",
       "Value \"x' OR 1=1\" of field Code is not a GUID"},
      {"whitespace inside values kept as sent", "ID",
       "<rs:insert><z:row ID=\"1\" c1=\"a\tb&#10;c&#13;&#10;d \"/></rs:insert>",
       "INSERT INTO Customers(ID,Full Name) VALUES(1,'a\tb'||char(10)||'c'||char(13)||'"
       "'||char(10)||'d ')\r\n",
       ""},
      {"key described inside the data element", "1=1 OR ID",
       "<s:AttributeType name=\"k\" rs:name=\"1=1 OR ID\"><s:datatype dt:type=\"int\"/>"
       "</s:AttributeType><rs:delete><z:row ID=\"1\" k=\"1\"/></rs:delete>",
       "", "FldValQuoted Fail,Field 1=1 OR ID not in Schema"},
      {"column described inside the data element", "ID",
       "<s:AttributeType name=\"x\" rs:name=\"Price=(SELECT 1),ID\"><s:datatype "
       "dt:type=\"int\"/></s:AttributeType><rs:update><rs:original><z:row ID=\"7\"/>"
       "</rs:original><z:row x=\"1\"/></rs:update>",
       "", "FldID2Name Fail, Field x not in Schema"},
      {"other elements ignored", "ID", "<rs:other><z:row ID=\"1\"/></rs:other><!-- note -->text",
       "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome got = run(data_element(c.body), "Customers", c.keys, kSchema);
    EXPECT_EQ(got.statements, c.statements);
    EXPECT_EQ(got.error, c.error);
  }
}

TEST(ADOToXMLTest, TableNameCannotHideTheWhereClause) {
  const std::string data = data_element("<rs:delete><z:row ID=\"9\"/></rs:delete>");
  struct Case {
    std::string_view table;
    std::string_view statements;
    std::string_view error;
  };
  // clang-format off
  const Case cases[] = {
      {"Customers",       "DELETE FROM Customers WHERE ID=9\r\n", ""},
      {"[Customers - x]", "DELETE FROM [Customers - x] WHERE ID=9\r\n", ""},
      {"Customers --",    "", "The table name Customers -- holds an SQL comment"},
      {"Customers/*",     "", "The table name Customers/* holds an SQL comment"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    const Outcome got = run(data, c.table, "ID", kSchema);
    EXPECT_EQ(got.statements, c.statements);
    EXPECT_EQ(got.error, c.error);
  }
}

TEST(ADOToXMLTest, DocumentFailures) {
  struct Case {
    std::string_view data;
    std::string_view schema;
    std::string_view error;
  };
  // clang-format off
  const Case cases[] = {
      {"<rs:data/>",                        "",      "Schema Node not found!"},
      {"<xml><s:Schema/></xml>",            "",      "FldValQuoted Fail,Field ID not in Schema"},
      {"",                                  "",      "No document element found [1, 1]"},
      {"<a>\n  <b x=1/>\n</a>",             "",      "Error parsing element attribute [8, 2]"},
      {"<rs:data><z:row ID='1'></rs:data>", kSchema, "Start-end tags mismatch [26, 32]"},
      {"<a>\r\n<b x='a&#0;b'/></a>",        "",      "Invalid character reference [8, 2]"},
      {"<a><b x='&#xD800;'/></a>",          "",      "Invalid character reference [10, 1]"},
      {"<a><b x='&#x110000;'/></a>",        "",      "Invalid character reference [10, 1]"},
      {"<a><b x='&#99999999999999999999;'/></a>", "", "Invalid character reference [10, 1]"},
      {"<a><b x='&#8;'/></a>",              "",      "Invalid character reference [10, 1]"},
      {"<a><!-- &#0; --><![CDATA[&#0;]]><b x='&#9;&#x10FFFF;'/></a>", "",
                                                     "Schema Node not found!"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    EXPECT_EQ(run(c.data, "T", "ID", c.schema).error, c.error);
  }
}

TEST(ADOToXMLTest, StripAndMergePackets) {
  const std::string packet = kSchema.substr(0, kSchema.size() - 6) +
                             "\t<rs:data>\r\n\t\t<z:row ID=\"1\"/>\r\n\t</rs:data>\r\n</xml>";
  EXPECT_EQ(StripPacketData(packet), kSchema);
  EXPECT_EQ(MergeSchemaAndData("\t<rs:data>\r\n\t\t<z:row ID=\"1\"/>\r\n\t</rs:data>\r\n", kSchema),
            packet);
  // ADO's own file layout starts the data element at column 0: no schema can be cut.
  EXPECT_EQ(StripPacketData(fixture("multi_changes.xml")), "");
  EXPECT_EQ(StripPacketData("\t<rs:data></rs:data>"), "");
  EXPECT_EQ(StripPacketData(" x \t<rs:data></rs:data>\r\n y "), "x  y");
  EXPECT_EQ(MergeSchemaAndData("<whole/>", ""), "<whole/>");
  EXPECT_EQ(MergeSchemaAndData("d", "abc"), "d</xml>");
  EXPECT_EQ(SqlQuoted("O'Brien"), "'O''Brien'");
}

TEST(ADOToXMLTest, RealClientPackets) {
  struct Case {
    std::string_view file;
    std::string_view keys;
    std::string_view statements;
  };
  const Case cases[] = {
      {"multi_changes.xml", "ID",
       "UPDATE T SET ID=1,M01_TEXT='r1_p1_한글_<&''>',M03_NUM=1001.1234,M05_BIN=X'0101dead' "
       "WHERE ID=1\r\n"
       "UPDATE T SET ID=3,M01_TEXT='r3_p2_한글_<&''>',M03_NUM=3002.1234,M05_BIN=X'0302dead' "
       "WHERE ID=3\r\n"
       "INSERT INTO T(ID,M02_INT,M03_NUM,M04_TS,M05_BIN,M06_BOOL,M01_TEXT) VALUES(7,703,"
       "7003.1234,'2007-11-11 10:21:21',X'0703dead',1,NULL)\r\n"
       "INSERT INTO T(ID,M01_TEXT,M02_INT,M03_NUM,M04_TS,M05_BIN,M06_BOOL) VALUES(8,"
       "'r8_p4_한글_<&''>',804,8004.1234,'2008-01-13 12:24:28',X'0804dead',1)\r\n"
       "DELETE FROM T WHERE ID=2\r\n"
       "DELETE FROM T WHERE ID=5\r\n"},
      {"name_mapping.xml", "ID",
       "UPDATE T SET ID=1,Field Space Text='alpha-updated',1LeadingInteger=11,"
       "Name-With-Dash='dash-one-updated',한글 필드='한글_4_값' WHERE ID=1\r\n"
       "INSERT INTO T(ID,Field Space Text,1LeadingInteger,Name-With-Dash,한글 필드) "
       "VALUES(4,'delta',40,'dash-four','한글_5_값')\r\n"
       "DELETE FROM T WHERE ID=2\r\n"},
      {"name_mapping.xml", "Field Space Text",
       "UPDATE T SET ID=1,Field Space Text='alpha-updated',1LeadingInteger=11,"
       "Name-With-Dash='dash-one-updated',한글 필드='한글_4_값' WHERE Field Space Text='alpha'\r\n"
       "INSERT INTO T(ID,Field Space Text,1LeadingInteger,Name-With-Dash,한글 필드) "
       "VALUES(4,'delta',40,'dash-four','한글_5_값')\r\n"
       "DELETE FROM T WHERE Field Space Text='beta'\r\n"},
      {"flat_VarWChar_null_states.xml", "ID",
       "UPDATE T SET VALUE_FIELD=NULL WHERE ID=1\r\n"
       "INSERT INTO T(ID,VALUE_FIELD) VALUES(4,NULL)\r\n"
       "DELETE FROM T WHERE ID=2\r\n"},
      {"flat_VarWChar_states.xml", "ID",
       "UPDATE T SET VALUE_FIELD='한글' WHERE ID=1\r\n"
       "INSERT INTO T(ID,VALUE_FIELD) VALUES(4,'tail-value')\r\n"
       "DELETE FROM T WHERE ID=2\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + std::string(c.keys));
    const Outcome got = run(fixture(std::string(c.file)), "T", c.keys, "");
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(got.statements, c.statements);
  }
  // Every type of the full sample reads; the forced NULL and the long binary value with line
  // breaks inside it come through.
  const Outcome all = run(fixture("all_supported_types.xml"), "T", "ID", "");
  EXPECT_EQ(all.error, "");
  EXPECT_NE(all.statements.find(",ALL_09_Single=NULL WHERE ID=1\r\n"), std::string::npos);
  std::vector<std::string> verbs;
  for (const std::string& line : base::split(all.statements, '\n')) {
    verbs.push_back(line.substr(0, line.find(' ')));
  }
  EXPECT_EQ(verbs, std::vector<std::string>({"UPDATE", "INSERT", "DELETE", ""}));
}

TEST(ADOToXMLTest, NoInputCrashesTheReader) {
  // Every prefix of real packets, and each with one byte broken, either reads or fails with a
  // PacketError; nothing else escapes.
  for (const char* file : {"multi_changes.xml", "name_mapping.xml", "flat_VarWChar_states.xml"}) {
    const std::string text = fixture(file);
    for (size_t n = 0; n <= text.size(); ++n) {
      EXPECT_NO_THROW(run(text.substr(0, n), "T", "ID", ""));
      std::string broken = text;
      if (n < text.size()) {
        broken[n] = "<>&'\"\0="[n % 7];
        EXPECT_NO_THROW(run(broken, "T", "ID", ""));
      }
    }
  }
  std::string deep = "<xml><s:Schema/><rs:data>";
  for (int i = 0; i < 200000; ++i) {
    deep += "<rs:insert>";
  }
  EXPECT_EQ(run(deep, "T", "ID", "").error, "Start-end tags mismatch [2200025, 1]");
}

class RoundTripTest : public db::TempDatabaseTest {
 protected:
  std::string query(const std::string& sql) {
    db::TADODataSet ds(&connection_);
    ds.SetCommandText(sql);
    ds.Open();
    std::string out;
    for (; !ds.Eof(); ds.Next()) {
      for (size_t i = 0; i < ds.FieldCount(); ++i) {
        out.append(i ? "|" : "").append(ds.Fields(i).AsString());
      }
      out += "\n";
    }
    return out;
  }
};

// A client loads the packet, edits one row, inserts one and deletes one, and sends the data
// element back; the statements applied to the table give the edited rows.
TEST_F(RoundTripTest, PacketWrittenByRecordsetToXmlReadsBackAfterAClientEdit) {
  connection_.Execute(
      "create table People (Code varchar(20) primary key, Prénom varchar(40), "
      "Born datetime, Active boolean, Score real, Photo blob, Notes memo)");
  connection_.Execute(
      "insert into People values('a' || char(9) || 'b''c', 'Ann', "
      "'2001-02-03 04:05:06', 1, 0.1, x'00ff', 'two' || char(13) || char(10) || "
      "'lines')");
  connection_.Execute("insert into People values('z', 'Zed', null, 0, 2.5, null, null)");

  db::TADODataSet ds(&connection_);
  ds.SetCommandText("select * from People");
  ds.Open();
  const std::string packet = RecordsetToXml(ds);
  const std::string schema = StripPacketData(packet);
  ASSERT_NE(schema, "");
  EXPECT_TRUE(base::ends_with(schema, "</s:Schema>\r\n</xml>"));
  EXPECT_NE(schema.find("<s:AttributeType name=\"c1\" rs:name=\"Prénom\""), std::string::npos);

  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(packet.c_str(), pugi::parse_default & ~pugi::parse_wconv_attribute));
  const pugi::xml_node data = doc.child("xml").child("rs:data");
  pugi::xml_node first = data.first_child();
  pugi::xml_node second = first.next_sibling();
  ASSERT_STREQ(first.attribute("Code").value(), "a\tb'c");
  ASSERT_STREQ(first.attribute("Notes").value(), "two\r\nlines");

  // The client's edit: row 1 renamed and its score cleared; row 2 deleted; one row inserted.
  pugi::xml_document edit;
  pugi::xml_node changes = edit.append_child("rs:data");
  changes.append_attribute("xmlns:rs") = "urn:schemas-microsoft-com:rowset";
  pugi::xml_node update = changes.append_child("rs:update");
  update.append_child("rs:original").append_copy(first);
  pugi::xml_node new_values = update.append_child("z:row");
  new_values.append_attribute("xmlns:z") = "#RowsetSchema";
  new_values.append_attribute("c1") = "Ann O'Hara";  // Prénom, not an XML name here
  new_values.append_attribute("Born") = "2002-03-04T05:06:07";
  new_values.append_attribute("rs:forcenull") = "Score";
  pugi::xml_node inserted = changes.append_child("rs:insert").append_child("z:row");
  inserted.append_attribute("Code") = "new";
  inserted.append_attribute("Active") = "True";
  inserted.append_attribute("Photo") = "beef";
  inserted.append_attribute("Notes") = "x\ty";
  changes.append_child("rs:delete").append_copy(second);
  std::ostringstream sent;
  edit.save(sent, "\t", pugi::format_default | pugi::format_no_declaration);

  const std::string statements = ChangesToSql(sent.str(), "People", "Code", schema);
  for (const std::string& line : base::split(base::replace_all(statements, "\r\n", "\n"), '\n')) {
    if (!line.empty()) {
      SCOPED_TRACE(line);
      EXPECT_EQ(connection_.Execute("" + line), 1);
    }
  }
  EXPECT_EQ(query("select Code, Prénom, Born, Active, Score, hex(Photo), Notes from People "
                  "order by Code"),
            "a\tb'c|Ann O'Hara|2002-03-04 05:06:07|True||00FF|two\r\nlines\n"
            "new|||True||BEEF|x\ty\n");
}

}  // namespace
}  // namespace appsrv::app
