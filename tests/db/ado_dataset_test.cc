#include "db/ado_dataset.h"

#include <gtest/gtest.h>

#include "tests/db/temp_database.h"

namespace appsrv::db {
namespace {

class DataSetTest : public TempDatabaseTest {
 protected:
  // Table N with `rows` rows whose ID runs from 1.
  void make_numbers(int rows) {
    exec("create table N (ID integer primary key, Label text)");
    exec("begin");
    for (int i = 1; i <= rows; ++i) {
      exec("insert into N values(" + std::to_string(i) + ", 'row " + std::to_string(i) + "')");
    }
    exec("commit");
  }
};

TEST_F(DataSetTest, FieldClassesAndTextsForEachDeclaredType) {
  struct Case {
    std::string_view declared;
    std::string_view stored;
    std::string_view class_name;
    std::string_view text;
  };
  const Case cases[] = {
      {"BIGINT", "9007199254740993", "TLargeintField", "9007199254740993"},
      {"SMALLINT", "-7", "TSmallintField", "-7"},
      {"TINYINT", "255", "TByteField", "255"},
      {"INTEGER", "42", "TIntegerField", "42"},
      {"BOOLEAN", "1", "TBooleanField", "True"},
      {"YESNO", "0", "TBooleanField", "False"},
      {"DECIMAL(10,2)", "1234.5", "TBCDField", "1234.5"},
      {"MONEY", "0.35", "TBCDField", "0.35"},
      {"REAL", "2.5", "TFloatField", "2.5"},
      {"DOUBLE", "0.1", "TFloatField", "0.1"},
      {"DATETIME", "'2001-02-03 04:05:06'", "TDateTimeField", "2001-02-03 04:05:06"},
      {"TIMESTAMP", "'2001-02-03 00:00:00'", "TDateTimeField", "2001-02-03"},
      {"DATE", "'1999-12-31'", "TDateField", "1999-12-31"},
      {"TIME", "'23:59:58'", "TTimeField", "23:59:58"},
      {"MEMO", "'two\nlines'", "TWideMemoField", "two\nlines"},
      {"GUID", "'01234567-89ab-cdef-0123-456789abcdef'", "TGuidField",
       "01234567-89ab-cdef-0123-456789abcdef"},
      {"BINARY(2)", "x'00ff'", "TBytesField", std::string_view("\0\xff", 2)},
      {"VARBINARY(4)", "x'dead'", "TVarBytesField", "\xde\xad"},
      {"BLOB", "x'01'", "TBlobField", "\x01"},
      {"VARCHAR(40)", "'O''Brien'", "TWideStringField", "O'Brien"},
      {"TEXT", "'plain'", "TWideStringField", "plain"},
  };
  std::string create = "create table T (";
  std::string values = "insert into T values(";
  for (size_t i = 0; i < std::size(cases); ++i) {
    create += (i ? ", F" : "F") + std::to_string(i) + " " + std::string(cases[i].declared);
    values += (i ? ", " : "") + std::string(cases[i].stored);
  }
  exec(create + ")");
  exec(values + ")");
  exec("insert into T(F0) values(null)");

  TADODataSet ds(&connection_);
  ds.SetCommandText("select * from T");
  ds.Open();
  ASSERT_EQ(ds.FieldCount(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].declared);
    EXPECT_EQ(ds.Fields(i).FieldName(), "F" + std::to_string(i));
    EXPECT_EQ(ds.Fields(i).ClassName(), cases[i].class_name);
    EXPECT_EQ(ds.Fields(i).AsString(), cases[i].text);
  }
  ds.Next();
  for (size_t i = 0; i < ds.FieldCount(); ++i) {
    EXPECT_TRUE(ds.Fields(i).IsNull());
  }
}

TEST_F(DataSetTest, AutoIncrementRequiredAndExpressionColumns) {
  exec("create table A (ID integer primary key autoincrement, Name text not null, Plain integer)");
  exec("insert into A(Name) values('x')");
  TADODataSet ds(&connection_);
  ds.SetCommandText(
      "select ID, Name, Plain, ID + 1 as Next, 2.5 as Half, 'a' || Name as Joined "
      "from A");
  ds.Open();
  struct Case {
    std::string_view name;
    std::string_view class_name;
    bool required;
  };
  // clang-format off
  const Case cases[] = {
      {"ID",    "TAutoIncField", false},    {"Name",   "TWideStringField", true},
      {"Plain", "TIntegerField", false}, {"Next",      "TLargeintField",   false},
      {"Half",  "TFloatField",   false},    {"Joined", "TWideStringField", false},
  };
  // clang-format on
  ASSERT_EQ(ds.FieldCount(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(ds.Fields(i).FieldName(), cases[i].name);
    EXPECT_EQ(ds.Fields(i).ClassName(), cases[i].class_name);
    EXPECT_EQ(ds.FieldDefs()[i].required, cases[i].required);
  }
  EXPECT_EQ(ds.FieldByName("joined").AsString(), "ax");
  EXPECT_EQ(ds.FindField("nope"), nullptr);
  EXPECT_EQ(database_error([&] { ds.FieldByName("nope"); }), "Field 'nope' not found");
}

// Each row: the query, then a walk of MoveBy steps with the row expected after each (0 = EOF).
TEST_F(DataSetTest, PagingWithMoveByAndGetRows) {
  make_numbers(45);
  exec("create table Wide (" + [] {
    std::string cols = "C0 integer";
    for (int i = 1; i < 45; ++i) {
      cols += ", C" + std::to_string(i) + " integer";
    }
    return cols;
  }() + ")");
  // "select" queries skip with OFFSET; the PRAGMA (45 rows, cid 0..44) cannot be wrapped and
  // is stepped instead. Both must agree.
  struct Query {
    std::string_view sql;
    int64_t first_value;
  };
  // clang-format off
  const Query queries[] = {
      {"select ID from N order by ID",                 1},
      {"select ID from N order by ID;  -- page query", 1},
      {"pragma table_info(Wide)",                      0},
  };
  // clang-format on
  for (const Query& q : queries) {
    SCOPED_TRACE(q.sql);
    TADODataSet ds(&connection_);
    ds.SetCommandText(std::string(q.sql));
    ds.Open();
    EXPECT_EQ(ds.RecordCount(), 45);
    const auto value = [&] { return ds.Fields(0).AsInteger() - q.first_value; };
    EXPECT_EQ(value(), 0);
    struct Step {
      int64_t move;
      int64_t want_index;  // -1: past the end
    };
    const Step steps[] = {{1, 1}, {39, 40}, {-10, 30}, {-100, 0}, {44, 44}, {1, -1}, {5, -1}};
    for (const Step& s : steps) {
      SCOPED_TRACE(s.move);
      ds.MoveBy(s.move);
      if (s.want_index < 0) {
        EXPECT_TRUE(ds.Eof());
      } else {
        ASSERT_FALSE(ds.Eof());
        EXPECT_EQ(value(), s.want_index);
        EXPECT_EQ(ds.RecNo(), s.want_index);
      }
    }
    // The last page: 5 of the 20 asked for, then nothing.
    ds.First();
    ds.MoveBy(40);
    RowBlock block = ds.GetRows(20);
    ASSERT_EQ(block.size(), ds.FieldCount());
    ASSERT_EQ(block[0].size(), 5u);
    EXPECT_EQ(std::get<int64_t>(block[0][0]) - q.first_value, 40);
    EXPECT_EQ(std::get<int64_t>(block[0][4]) - q.first_value, 44);
    EXPECT_TRUE(ds.Eof());
    EXPECT_EQ(ds.GetRows(20)[0].size(), 0u);
    ds.First();
    EXPECT_EQ(ds.GetRows(0)[0].size(), 0u);
    EXPECT_EQ(value(), 0);
    EXPECT_EQ(ds.RecordCount(), 45);
  }
}

TEST_F(DataSetTest, EmptyResult) {
  make_numbers(0);
  TADODataSet ds(&connection_);
  ds.SetCommandText("select * from N");
  ds.Open();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_EQ(ds.FieldCount(), 2u);
  ds.MoveBy(3);
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.GetRows(20)[1].size(), 0u);
}

TEST_F(DataSetTest, EmptyResultStillWritesTheDataElement) {
  make_numbers(0);
  TADOQuery query(&connection_);
  query.SetSQL("select * from N");
  query.Open();
  const std::string packet = query.Save();
  const std::string tail = "\t</s:Schema>\r\n\t<rs:data>\r\n\t</rs:data>\r\n</xml>";
  ASSERT_GE(packet.size(), tail.size());
  EXPECT_EQ(packet.substr(packet.size() - tail.size()), tail);
}

TEST_F(DataSetTest, OpenRefusesWhatIsNoSingleQuery) {
  make_numbers(3);
  struct Case {
    std::string_view sql;
    std::string_view message;
  };
  const Case cases[] = {
      {"select * from Nope", "sqlite3_prepare_v2: no such table: Nope"},
      {"select * from N; delete from N",
       "A dataset opens one statement at a time: select * from N; delete from N"},
      {"delete from N", "The command text returns no rows: delete from N"},
      {"   ", "The command text holds no statement"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    TADODataSet ds(&connection_);
    ds.SetCommandText(std::string(c.sql));
    EXPECT_EQ(database_error([&] { ds.Open(); }), c.message);
    EXPECT_FALSE(ds.Active());
  }
  TADODataSet ds(&connection_);
  ds.SetCommandText("select count(*) from N");
  ds.Open();
  EXPECT_EQ(ds.Fields(0).AsInteger(), 3);
  TADODataSet unconnected;
  EXPECT_THROW(unconnected.Open(), DatabaseError);
}

TEST_F(DataSetTest, AStatementThatWritesRunsOnce) {
  make_numbers(0);
  TADODataSet ds(&connection_);
  ds.SetCommandText("insert into N(Label) values('a'), ('b') returning ID, Label");
  ds.Open();
  EXPECT_EQ(ds.Fields(1).AsString(), "a");
  EXPECT_EQ(ds.RecordCount(), 2);
  ds.Next();
  EXPECT_EQ(ds.Fields(1).AsString(), "b");
  ds.First();
  EXPECT_EQ(ds.Fields(0).AsInteger(), 1);
  ds.MoveBy(1);
  EXPECT_EQ(ds.Fields(0).AsInteger(), 2);
  ds.MoveBy(-1);
  EXPECT_EQ(ds.Fields(0).AsInteger(), 1);
  const std::string packet = ds.Save();
  EXPECT_NE(packet.find("<z:row ID=\"2\" Label=\"b\"/>"), std::string::npos);
  EXPECT_EQ(packet.find("rs:insert"), std::string::npos);
  const RowBlock block = ds.GetRows(5);
  ASSERT_EQ(block.size(), 2u);
  EXPECT_EQ(block[0].size(), 2u);
  TADODataSet count(&connection_);
  count.SetCommandText("select count(*) from N");
  count.Open();
  EXPECT_EQ(count.Fields(0).AsInteger(), 2);
}

TEST_F(DataSetTest, SaveWritesThePacketLayout) {
  exec(
      "create table P (ID integer primary key autoincrement, \"Full Name\" varchar(40) not null, "
      "Price money)");
  exec("insert into P values(1, 'O''Brien & Sons', 12.5)");
  exec("insert into P values(2, 'Tab' || char(9) || 'CR' || char(13) || 'LF' || char(10), null)");
  TADODataSet ds(&connection_);
  ds.SetCommandText("select * from P");
  ds.Open();
  ds.Next();
  const std::string packet = ds.Save();
  EXPECT_EQ(packet,
            "<xml xmlns:s=\"uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882\" "
            "xmlns:dt=\"uuid:C2F41010-65B3-11d1-A29F-00AA00C14882\" "
            "xmlns:rs=\"urn:schemas-microsoft-com:rowset\" xmlns:z=\"#RowsetSchema\">\r\n"
            "\t<s:Schema id=\"RowsetSchema\">\r\n"
            "\t\t<s:ElementType name=\"row\" content=\"eltOnly\" rs:updatable=\"true\">\r\n"
            "\t\t\t<s:AttributeType name=\"ID\" rs:number=\"1\" rs:nullable=\"true\" "
            "rs:write=\"true\">\r\n"
            "\t\t\t\t<s:datatype dt:type=\"int\" dt:maxLength=\"4\" rs:precision=\"0\" "
            "rs:fixedlength=\"true\"/>\r\n"
            "\t\t\t</s:AttributeType>\r\n"
            "\t\t\t<s:AttributeType name=\"c1\" rs:name=\"Full Name\" rs:number=\"2\" "
            "rs:write=\"true\">\r\n"
            "\t\t\t\t<s:datatype dt:type=\"string\" dt:maxLength=\"40\" rs:precision=\"0\" "
            "rs:maybenull=\"false\"/>\r\n"
            "\t\t\t</s:AttributeType>\r\n"
            "\t\t\t<s:AttributeType name=\"Price\" rs:number=\"3\" rs:nullable=\"true\" "
            "rs:write=\"true\">\r\n"
            "\t\t\t\t<s:datatype dt:type=\"number\" rs:dbtype=\"currency\" dt:maxLength=\"8\" "
            "rs:precision=\"0\" rs:fixedlength=\"true\"/>\r\n"
            "\t\t\t</s:AttributeType>\r\n"
            "\t\t\t<s:extends type=\"rs:rowbase\"/>\r\n"
            "\t\t</s:ElementType>\r\n"
            "\t</s:Schema>\r\n"
            "\t<rs:data>\r\n"
            "\t\t<z:row ID=\"1\" c1=\"O'Brien &amp; Sons\" Price=\"12.5\"/>\r\n"
            "\t\t<z:row ID=\"2\" c1=\"Tab&#9;CR&#13;LF&#10;\"/>\r\n"
            "\t</rs:data>\r\n"
            "</xml>");
  // Saving keeps the current row.
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_EQ(ds.Fields(0).AsInteger(), 2);
}

// A packet declares each integer column's size; a stored value beyond it fails the packet with
// the field's name instead of reaching clients under a type that cannot hold it.
TEST_F(DataSetTest, SaveRefusesIntegersBeyondTheirDeclaredSize) {
  struct Case {
    std::string_view declared;
    std::string_view stored;
    std::string_view error;  // empty: saved
  };
  const Case cases[] = {
      {"INTEGER", "2147483647", ""},
      {"INTEGER", "-2147483648", ""},
      {"INTEGER", "2147483648",
       "Value 2147483648 of field V does not fit its declared 32-bit integer type"},
      {"INT", "-4294967296",
       "Value -4294967296 of field V does not fit its declared 32-bit integer type"},
      {"SMALLINT", "-32768", ""},
      {"SMALLINT", "32768", "Value 32768 of field V does not fit its declared 16-bit integer type"},
      {"TINYINT", "255", ""},
      {"TINYINT", "-1",
       "Value -1 of field V does not fit its declared 8-bit unsigned integer type"},
      {"BIGINT", "9223372036854775807", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.declared) + " " + std::string(c.stored));
    exec("drop table if exists W");
    exec("create table W (V " + std::string(c.declared) + ")");
    exec("insert into W values(" + std::string(c.stored) + ")");
    TADODataSet ds(&connection_);
    ds.SetCommandText("select * from W");
    ds.Open();
    if (c.error.empty()) {
      EXPECT_NE(ds.Save().find("<z:row V=\"" + std::string(c.stored) + "\"/>"), std::string::npos);
    } else {
      EXPECT_EQ(database_error([&] { (void)ds.Save(); }), c.error);
    }
  }
}

TEST_F(DataSetTest, ClientDataSetCollectsRowsAndCommitsThemLocally) {
  make_numbers(3);
  TADODataSet source(&connection_);
  source.SetCommandText("select * from N");
  source.Open();

  TADODataSet page;
  page.FieldDefs().Assign(source.FieldDefs());
  page.CreateDataSet();
  EXPECT_TRUE(page.Eof());
  EXPECT_EQ(page.RecordCount(), 0);
  EXPECT_THROW(page.Post(), DatabaseError);
  const RowBlock block = source.GetRows(2);
  for (size_t r = 0; r < block[0].size(); ++r) {
    page.Append();
    for (size_t f = 0; f < page.FieldCount(); ++f) {
      page.Fields(f).SetValue(block[f][r]);
    }
    page.Post();
  }
  page.Append();
  page.FieldByName("ID").SetValue(int64_t{9});
  page.Post();
  EXPECT_EQ(page.RecordCount(), 3);
  EXPECT_EQ(page.Fields(0).ClassName(), "TIntegerField");

  const std::string pending = page.Save();
  const std::string data_start = "\t<rs:data>\r\n";
  const std::string pending_rows = pending.substr(pending.find(data_start) + data_start.size());
  EXPECT_EQ(pending_rows,
            "\t\t<rs:insert>\r\n"
            "\t\t\t<z:row ID=\"1\" Label=\"row 1\"/>\r\n"
            "\t\t\t<z:row ID=\"2\" Label=\"row 2\"/>\r\n"
            "\t\t\t<z:row ID=\"9\"/>\r\n"
            "\t\t</rs:insert>\r\n"
            "\t</rs:data>\r\n"
            "</xml>");

  page.UpdateBatch();
  const std::string saved = page.Save();
  EXPECT_EQ(saved.substr(0, saved.find(data_start)), pending.substr(0, pending.find(data_start)));
  EXPECT_EQ(saved.substr(saved.find(data_start) + data_start.size()),
            "\t\t<z:row ID=\"1\" Label=\"row 1\"/>\r\n"
            "\t\t<z:row ID=\"2\" Label=\"row 2\"/>\r\n"
            "\t\t<z:row ID=\"9\"/>\r\n"
            "\t</rs:data>\r\n"
            "</xml>");
  page.First();
  EXPECT_EQ(page.FieldByName("Label").AsString(), "row 1");
  page.MoveBy(2);
  EXPECT_EQ(page.Fields(0).AsInteger(), 9);
  page.Next();
  EXPECT_TRUE(page.Eof());
  page.Close();
  EXPECT_FALSE(page.Active());
}

}  // namespace
}  // namespace appsrv::db
