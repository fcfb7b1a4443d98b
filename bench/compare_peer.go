// The Go peer of bench/compare, beside the Node.js one (compare_peer.js): net/http and
// mattn/go-sqlite3 as Debian packages them, answering
//   - "/$/ping" with "Pong";
//   - the Add envelope at "/appservice/" on a cookie session, the form parsed and the envelope
//     written as the Node.js peer does;
//   - "/rest/sqlselect" with the statements the application's endpoint runs (the count, then
//     the page query, skipping with the cursor's OFFSET statement) and its grid JSON, byte for
//     byte for the columns of the benchmark's table (integers, text, money, date and time).
//
// Sessions live in a map behind a mutex; a session serves one request at a time and reads the
// database on a connection of its own, as the application's sessions do.
//
// Built offline from Debian's sources alone (see bench/compare):
//
//	GO111MODULE=off GOPATH=/usr/share/gocode go build -o compare_peer_go bench/compare_peer.go
//	compare_peer_go <port> <database-file>
package main

import (
	"bytes"
	"context"
	"crypto/rand"
	"database/sql"
	"encoding/base64"
	"encoding/json"
	"fmt"
	"io"
	"math"
	"net"
	"net/http"
	"os"
	"strconv"
	"strings"
	"sync"
	"time"
	"unicode/utf8"

	_ "github.com/mattn/go-sqlite3"
)

const cookieName = "SV_GoPeer"

var db *sql.DB

// A client's session: its own database connection and the statements prepared on it.
type session struct {
	sync.Mutex
	conn       *sql.Conn
	statements map[string]*sql.Stmt
}

var sessions = struct {
	sync.Mutex
	byID map[string]*session
}{byID: map[string]*session{}}

// sessionOf finds the session named by the request's cookie, or starts one. Every reply
// carries the cookie, as the application's do.
func sessionOf(w http.ResponseWriter, r *http.Request) *session {
	id := cookieValue(strings.Join(r.Header.Values("Cookie"), "; "))
	sessions.Lock()
	s := sessions.byID[id]
	if s == nil {
		var raw [16]byte
		if _, err := rand.Read(raw[:]); err != nil {
			panic(err)
		}
		id = base64.RawURLEncoding.EncodeToString(raw[:])
		s = &session{statements: map[string]*sql.Stmt{}}
		sessions.byID[id] = s
	}
	sessions.Unlock()
	w.Header().Set("Set-Cookie", cookieName+"="+id+"; Path=/; HttpOnly; SameSite=Lax")
	return s
}

// cookieValue is the value of our cookie in a Cookie header ("" when it has none).
func cookieValue(header string) string {
	for _, part := range strings.Split(header, ";") {
		part = strings.TrimLeft(part, " \t")
		if strings.HasPrefix(part, cookieName+"=") {
			return part[len(cookieName)+1:]
		}
	}
	return ""
}

// statement is the session's prepared statement for `text`, prepared on first use.
func (s *session) statement(ctx context.Context, text string) (*sql.Stmt, error) {
	if s.conn == nil {
		conn, err := db.Conn(ctx)
		if err != nil {
			return nil, err
		}
		// The application maps its database file into memory (16 MiB) on each connection.
		if _, err := conn.ExecContext(ctx, "PRAGMA mmap_size=16777216"); err != nil {
			conn.Close()
			return nil, err
		}
		s.conn = conn
	}
	if st := s.statements[text]; st != nil {
		return st, nil
	}
	st, err := s.conn.PrepareContext(ctx, text)
	if err != nil {
		return nil, err
	}
	s.statements[text] = st
	return st, nil
}

func reply(w http.ResponseWriter, contentType string, body []byte) {
	h := w.Header()
	h.Set("Content-Type", contentType)
	h.Set("Cache-Control", "no-cache")
	h.Set("Content-Length", strconv.Itoa(len(body)))
	w.Write(body)
}

func main() {
	if len(os.Args) != 3 {
		fmt.Fprintln(os.Stderr, "usage: compare_peer_go <port> <database-file>")
		os.Exit(2)
	}
	var err error
	db, err = sql.Open("sqlite3", "file:"+os.Args[2]+"?mode=ro")
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		os.Exit(1)
	}
	db.SetMaxIdleConns(1024)
	listener, err := net.Listen("tcp", "127.0.0.1:"+os.Args[1])
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		os.Exit(1)
	}
	fmt.Printf("port %d\n", listener.Addr().(*net.TCPAddr).Port)
	ping := []byte("Pong")
	http.Serve(listener, http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		switch {
		case strings.EqualFold(r.URL.Path, "/$/ping"):
			w.Header().Set("Pragma", "no-cache")
			reply(w, "text/html; charset=UTF-8", ping)
		case r.URL.Path == "/appservice/":
			appService(w, r)
		case r.URL.Path == "/rest/sqlselect":
			sqlSelect(w, r)
		default:
			w.WriteHeader(http.StatusNotFound)
		}
	}))
}

// ---- "/appservice/": the Add envelope, as the Node.js peer writes it ----

func appService(w http.ResponseWriter, r *http.Request) {
	body, err := io.ReadAll(r.Body)
	if err != nil {
		http.Error(w, err.Error(), http.StatusBadRequest)
		return
	}
	s := sessionOf(w, r)
	s.Lock()
	defer s.Unlock()
	form := parseForm(string(body))
	function, params := formValue(form, "Function"), formValue(form, "Params")
	paramsText := "{}"
	if v, ok := form["Params"]; ok && strings.Join(v, ",") != "" {
		paramsText = strings.Join(v, ",")
	}
	var members map[string]json.RawMessage
	if err := json.Unmarshal([]byte(paramsText), &members); err != nil {
		// Params that are JSON but no object have no members: A, B and Info are undefined.
		var any interface{}
		if json.Unmarshal([]byte(paramsText), &any) != nil {
			http.Error(w, "The Params field is not valid JSON.", http.StatusInternalServerError)
			return
		}
	}
	result := "{}"
	if function == "Add" {
		sum := jsPlus(jsValueOf(members["A"]), jsValueOf(members["B"]))
		result = `{"Result":` + sum.json()
		if info := jsValueOf(members["Info"]); info.kind != jsUndefined {
			result += `,"Info":` + info.json()
		}
		result += "}"
	}
	reply(w, "text/html; charset=UTF-8",
		[]byte("Function="+function+"\r\nParams="+params+"\r\nResult="+result))
}

// parseForm reads an application/x-www-form-urlencoded body the way Node's querystring does:
// pieces split at "&", the name ending at the first "=", "+" for a blank, %XX decoded where it
// is valid and left as it is elsewhere, bad UTF-8 replaced.
func parseForm(text string) map[string][]string {
	form := map[string][]string{}
	for _, piece := range strings.Split(text, "&") {
		if piece == "" {
			continue
		}
		name, value := piece, ""
		if at := strings.IndexByte(piece, '='); at >= 0 {
			name, value = piece[:at], piece[at+1:]
		}
		name, value = formUnescape(name), formUnescape(value)
		form[name] = append(form[name], value)
	}
	return form
}

// formValue is the text a template literal makes of a parsed field: repeated values joined
// by commas, "undefined" when the field is missing.
func formValue(form map[string][]string, name string) string {
	values, ok := form[name]
	if !ok {
		return "undefined"
	}
	return strings.Join(values, ",")
}

func formUnescape(text string) string {
	if !strings.ContainsAny(text, "+%") {
		return strings.ToValidUTF8(text, "\uFFFD")
	}
	out := make([]byte, 0, len(text))
	for i := 0; i < len(text); i++ {
		c := text[i]
		switch {
		case c == '+':
			out = append(out, ' ')
		case c == '%' && i+2 < len(text) && isHex(text[i+1]) && isHex(text[i+2]):
			n, _ := strconv.ParseUint(text[i+1:i+3], 16, 8)
			out = append(out, byte(n))
			i += 2
		default:
			out = append(out, c)
		}
	}
	return strings.ToValidUTF8(string(out), "\uFFFD")
}

func isHex(c byte) bool {
	return '0' <= c && c <= '9' || 'a' <= c && c <= 'f' || 'A' <= c && c <= 'F'
}

// A JSON value as a script sees it once parsed: enough of its kinds for A + B and for Info
// written back.
type jsKind int

const (
	jsUndefined jsKind = iota
	jsNull
	jsBool
	jsNumber
	jsString
	jsObject // objects and arrays: written back compact, as text "[object Object]"
)

type jsValue struct {
	kind jsKind
	b    bool
	n    float64
	s    string
	raw  json.RawMessage
}

func jsValueOf(raw json.RawMessage) jsValue {
	if raw == nil {
		return jsValue{kind: jsUndefined}
	}
	var v interface{}
	if json.Unmarshal(raw, &v) != nil {
		return jsValue{kind: jsUndefined}
	}
	switch t := v.(type) {
	case nil:
		return jsValue{kind: jsNull}
	case bool:
		return jsValue{kind: jsBool, b: t}
	case float64:
		return jsValue{kind: jsNumber, n: t}
	case string:
		return jsValue{kind: jsString, s: t}
	}
	return jsValue{kind: jsObject, raw: raw}
}

// jsPlus is the script's "+": text when either side is text (or an object), else numbers.
func jsPlus(a, b jsValue) jsValue {
	if a.kind == jsString || b.kind == jsString || a.kind == jsObject || b.kind == jsObject {
		return jsValue{kind: jsString, s: a.text() + b.text()}
	}
	return jsValue{kind: jsNumber, n: a.number() + b.number()}
}

func (v jsValue) number() float64 {
	switch v.kind {
	case jsNull:
		return 0
	case jsBool:
		if v.b {
			return 1
		}
		return 0
	case jsNumber:
		return v.n
	}
	return math.NaN()
}

func (v jsValue) text() string {
	switch v.kind {
	case jsUndefined:
		return "undefined"
	case jsNull:
		return "null"
	case jsBool:
		return strconv.FormatBool(v.b)
	case jsNumber:
		return jsNumberText(v.n)
	case jsString:
		return v.s
	}
	return "[object Object]"
}

func (v jsValue) json() string {
	switch v.kind {
	case jsUndefined, jsNull:
		return "null"
	case jsNumber:
		if math.IsNaN(v.n) || math.IsInf(v.n, 0) {
			return "null"
		}
		return jsNumberText(v.n)
	case jsString:
		return jsQuote(v.s)
	case jsObject:
		if compact, err := compactJSON(v.raw); err == nil {
			return string(compact)
		}
		return "null"
	}
	return v.text()
}

// compactJSON writes an object or array back without its blanks, members in the order sent.
func compactJSON(raw []byte) ([]byte, error) {
	var b bytes.Buffer
	if err := json.Compact(&b, raw); err != nil {
		return nil, err
	}
	return b.Bytes(), nil
}

// jsNumberText writes a number as a script does: the shortest digits that read back as the
// value, in plain decimals from 1e-6 up to 1e21 and in exponent form outside.
func jsNumberText(f float64) string {
	switch {
	case math.IsNaN(f):
		return "NaN"
	case math.IsInf(f, 1):
		return "Infinity"
	case math.IsInf(f, -1):
		return "-Infinity"
	case f == 0:
		return "0"
	}
	sign := ""
	if f < 0 {
		sign, f = "-", -f
	}
	e := strconv.FormatFloat(f, 'e', -1, 64) // d.ddde±xx
	at := strings.IndexByte(e, 'e')
	digits := strings.Replace(e[:at], ".", "", 1)
	exp, _ := strconv.Atoi(e[at+1:])
	k, n := len(digits), exp+1
	switch {
	case k <= n && n <= 21:
		return sign + digits + strings.Repeat("0", n-k)
	case 0 < n && n <= 21:
		return sign + digits[:n] + "." + digits[n:]
	case -6 < n && n <= 0:
		return sign + "0." + strings.Repeat("0", -n) + digits
	}
	mantissa := digits[:1]
	if k > 1 {
		mantissa += "." + digits[1:]
	}
	expSign := "+"
	if n-1 < 0 {
		expSign = "-"
	}
	return sign + mantissa + "e" + expSign + strconv.Itoa(abs(n-1))
}

func abs(i int) int {
	if i < 0 {
		return -i
	}
	return i
}

// jsQuote writes a string as JSON.stringify does: the quote, the backslash and control
// characters escaped, everything else as UTF-8.
func jsQuote(s string) string {
	var b strings.Builder
	b.WriteByte('"')
	for i := 0; i < len(s); i++ {
		c := s[i]
		switch c {
		case '"', '\\':
			b.WriteByte('\\')
			b.WriteByte(c)
		case '\b':
			b.WriteString(`\b`)
		case '\f':
			b.WriteString(`\f`)
		case '\n':
			b.WriteString(`\n`)
		case '\r':
			b.WriteString(`\r`)
		case '\t':
			b.WriteString(`\t`)
		default:
			if c < 0x20 {
				fmt.Fprintf(&b, `\u%04x`, c)
			} else {
				b.WriteByte(c)
			}
		}
	}
	b.WriteByte('"')
	return b.String()
}

// ---- "/rest/sqlselect": the application's statements and grid JSON ----

func sqlSelect(w http.ResponseWriter, r *http.Request) {
	q := r.URL.Query()
	page := int32Param(q.Get("page"), 1)
	rowsPerPage := int32Param(q.Get("rp"), 20)
	fields := q.Get("fldNames")
	if fields == "" {
		fields = "*"
	}
	tables, where, order := q.Get("tblNames"), q.Get("where"), q.Get("orderBy")

	s := sessionOf(w, r)
	s.Lock()
	defer s.Unlock()
	body, err := s.gridPage(r.Context(), page, rowsPerPage, fields, tables, where, order)
	if err != nil {
		http.Error(w, err.Error(), http.StatusInternalServerError)
		return
	}
	reply(w, "text/json; charset=utf-8", body)
}

func (s *session) gridPage(ctx context.Context, page, rowsPerPage int32,
	fields, tables, where, order string) ([]byte, error) {
	countSQL := "SELECT COUNT(*) AS TotalCount FROM " + tables
	if where != "" {
		countSQL += " WHERE " + where
	}
	var counted int64
	if err := s.queryRow(ctx, countSQL).Scan(&counted); err != nil {
		return nil, err
	}
	total := int32(uint32(counted))
	offset := int32((uint32(page) - 1) * uint32(rowsPerPage))
	var out []byte
	tail := func() []byte {
		out = append(out, `,"title":`...)
		out = appendGridString(out, tables)
		out = append(out, `,"total":`...)
		out = strconv.AppendInt(out, int64(total), 10)
		out = append(out, `,"page":`...)
		out = strconv.AppendInt(out, int64(page), 10)
		return append(out, '}')
	}
	if offset > total {
		out = append(out, `{"rowCount":0,"rows":[]`...)
		return tail(), nil
	}

	selectSQL := "SELECT " + fields + " FROM " + tables
	if where != "" {
		selectSQL += " WHERE " + where
	}
	pageSQL := selectSQL + " ORDER BY 1"
	if order != "" {
		pageSQL = selectSQL + " ORDER BY " + order
	}
	var rowCount int64
	switch {
	case countCoversSelect(fields, tables, where, order):
		rowCount = counted
	case countWithoutOrder(pageSQL):
		if err := s.queryRow(ctx, "SELECT COUNT(*) FROM ("+selectSQL+") AS TotalRows").
			Scan(&rowCount); err != nil {
			return nil, err
		}
	default:
		if err := s.queryRow(ctx, "SELECT COUNT(*) FROM "+asSubquery(pageSQL)).
			Scan(&rowCount); err != nil {
			return nil, err
		}
	}

	// The cursor opens the page query standing on its first row, and skips to the offset with
	// the same query wrapped in an OFFSET.
	rows, err := s.query(ctx, pageSQL)
	if err != nil {
		return nil, err
	}
	if offset > 0 {
		rows.Next()
		rows.Close()
		if rows, err = s.query(ctx, "SELECT * FROM "+asSubquery(pageSQL)+" LIMIT -1 OFFSET ?1",
			int64(offset)); err != nil {
			return nil, err
		}
	}
	defer rows.Close()
	columns, err := rows.ColumnTypes()
	if err != nil {
		return nil, err
	}
	// The page's rows first: a column without a declared type takes the kind of its first value.
	var pageRows [][]interface{}
	for emitted := int32(0); emitted < rowsPerPage && rows.Next(); emitted++ {
		values := make([]interface{}, len(columns))
		targets := make([]interface{}, len(columns))
		for i := range values {
			targets[i] = &values[i]
		}
		if err := rows.Scan(targets...); err != nil {
			return nil, err
		}
		pageRows = append(pageRows, values)
	}
	if err := rows.Err(); err != nil {
		return nil, err
	}
	kinds := make([]fieldKind, len(columns))
	for i, c := range columns {
		kinds[i] = kindOfDeclared(c.DatabaseTypeName())
		if c.DatabaseTypeName() == "" && len(pageRows) > 0 {
			switch pageRows[0][i].(type) {
			case int64:
				kinds[i] = fieldKind{"numeric", cellText_, "integer"}
			case float64:
				kinds[i] = fieldKind{"numeric", cellText_, "float"}
			}
		}
	}
	out = append(out, `{"fldCount":`...)
	out = strconv.AppendInt(out, int64(len(columns)), 10)
	for _, list := range []string{"fldNames", "fldLabels"} {
		out = append(out, `,"`+list+`":[`...)
		for i, c := range columns {
			if i > 0 {
				out = append(out, ',')
			}
			out = appendGridString(out, c.Name())
		}
		out = append(out, ']')
	}
	out = append(out, `,"fldClasses":[`...)
	for i := range columns {
		if i > 0 {
			out = append(out, ',')
		}
		out = appendGridString(out, kinds[i].class)
	}
	out = append(out, `],"rowCount":`...)
	out = strconv.AppendInt(out, rowCount, 10)
	out = append(out, `,"rows":[`...)
	for r, values := range pageRows {
		if r > 0 {
			out = append(out, ',')
		}
		out = append(out, '[')
		for i, v := range values {
			if i > 0 {
				out = append(out, ',')
			}
			out = appendGridString(out, cellText(kinds[i], v))
		}
		out = append(out, ']')
	}
	out = append(out, ']')
	return tail(), nil
}

func (s *session) queryRow(ctx context.Context, text string) *sql.Row {
	st, err := s.statement(ctx, text)
	if err != nil {
		// A failed prepare reads back as the error of the row.
		return s.conn.QueryRowContext(ctx, text)
	}
	return st.QueryRowContext(ctx)
}

func (s *session) query(ctx context.Context, text string, args ...interface{}) (*sql.Rows, error) {
	st, err := s.statement(ctx, text)
	if err != nil {
		return nil, err
	}
	return st.QueryContext(ctx, args...)
}

// asSubquery wraps a statement the way the cursor does for its count and its skip.
func asSubquery(text string) string {
	return "(\n" + strings.TrimRight(text, "\x00\x01\x02\x03\x04\x05\x06\x07\x08\t\n\x0b\x0c\r"+
		"\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f ;") + "\n)"
}

// int32Param reads an integer parameter (blanks first, a sign, decimal or "$"/"x"/"0x"
// hexadecimal digits) within the signed 32-bit range, or gives `fallback`.
func int32Param(text string, fallback int32) int32 {
	i := strings.IndexFunc(text, func(r rune) bool { return r != ' ' })
	if i < 0 {
		return fallback
	}
	text = text[i:]
	negative := false
	if text[0] == '+' || text[0] == '-' {
		negative = text[0] == '-'
		text = text[1:]
	}
	base := 10
	switch {
	case strings.HasPrefix(text, "$") || strings.HasPrefix(text, "x") || strings.HasPrefix(text, "X"):
		base, text = 16, text[1:]
	case strings.HasPrefix(text, "0x") || strings.HasPrefix(text, "0X"):
		base, text = 16, text[2:]
	}
	if text == "" || strings.ContainsAny(text[:1], "+-") {
		return fallback
	}
	magnitude, err := strconv.ParseUint(text, base, 64)
	if err != nil {
		return fallback
	}
	value := int64(magnitude)
	if negative {
		value = -value
	}
	if magnitude > 1<<31 || value < math.MinInt32 || value > math.MaxInt32 {
		return fallback
	}
	return int32(value)
}

// ---- which statements count the rows, as the endpoint decides ----

func isWordByte(c byte) bool {
	return '0' <= c && c <= '9' || 'a' <= c && c <= 'z' || 'A' <= c && c <= 'Z' || c == '_'
}

// holdsWord: `text` holds `word` (ASCII letters, any case) as a whole word.
func holdsWord(text, word string) bool {
	lower := strings.ToLower(text)
	for from := 0; ; {
		at := strings.Index(lower[from:], word)
		if at < 0 {
			return false
		}
		at += from
		end := at + len(word)
		if (at == 0 || !isWordByte(text[at-1])) && (end == len(text) || !isWordByte(text[end])) {
			return true
		}
		from = at + 1
	}
}

func countWithoutOrder(pageSQL string) bool {
	return !strings.Contains(pageSQL, "--") && !strings.Contains(pageSQL, "/*") &&
		!strings.Contains(pageSQL, ";") && !holdsWord(pageSQL, "limit")
}

// columnNameLength: the length of the column reference that starts `text` (a bare name, or
// one quoted with double quotes, brackets or backquotes), 0 when none does.
func columnNameLength(text string) int {
	if text == "" {
		return 0
	}
	open := text[0]
	if open == '"' || open == '[' || open == '`' {
		close := open
		if open == '[' {
			close = ']'
		}
		for i := 1; i < len(text); i++ {
			if text[i] != close {
				continue
			}
			if close != ']' && i+1 < len(text) && text[i+1] == close {
				i++
				continue
			}
			return i + 1
		}
		return 0
	}
	isName := func(c byte) bool { return isWordByte(c) || c == '$' }
	if '0' <= open && open <= '9' || !isName(open) {
		return 0
	}
	i := 1
	for i < len(text) && isName(text[i]) {
		i++
	}
	return i
}

func isPlainColumnList(fields string) bool {
	skipBlanks := func(at int) int {
		for at < len(fields) && strings.IndexByte(" \t\n\v\f\r", fields[at]) >= 0 {
			at++
		}
		return at
	}
	at := 0
	for {
		at = skipBlanks(at)
		for {
			if at < len(fields) && fields[at] == '*' {
				at++
				break
			}
			name := columnNameLength(fields[at:])
			if name == 0 {
				return false
			}
			at += name
			if at < len(fields) && fields[at] == '.' {
				at++
				continue
			}
			break
		}
		at = skipBlanks(at)
		if at == len(fields) {
			return true
		}
		if fields[at] != ',' {
			return false
		}
		at++
	}
}

func countCoversSelect(fields, tables, where, order string) bool {
	if !isPlainColumnList(fields) {
		return false
	}
	for _, text := range []string{tables, where, order} {
		if strings.Contains(text, "--") || strings.Contains(text, "/*") || strings.Contains(text, ";") {
			return false
		}
		for _, word := range []string{"select", "group", "having", "union", "intersect", "except",
			"limit", "offset", "window", "distinct", "values"} {
			if holdsWord(text, word) {
				return false
			}
		}
	}
	return !holdsWord(where, "from") && !holdsWord(order, "from")
}

// ---- the grid's column kinds and cell texts ----

type cellWay int

const (
	cellText_ cellWay = iota
	cellMoney
	cellBlob
	cellBytes
)

type fieldKind struct {
	class string // what "fldClasses" says
	way   cellWay
	value string // "integer", "float", "datetime", "date", "time", "boolean" or "text"
}

// kindOfDeclared maps a column's declared type as the application's fields do.
func kindOfDeclared(declared string) fieldKind {
	upper := strings.ToUpper(declared)
	base := upper
	if at := strings.IndexByte(base, '('); at >= 0 {
		base = base[:at]
	}
	base = strings.TrimSpace(base)
	oneOf := func(names ...string) bool {
		for _, n := range names {
			if base == n {
				return true
			}
		}
		return false
	}
	switch {
	case declared == "":
		// An expression: the kind of its value; a text kind covers the others well enough.
		return fieldKind{"string", cellText_, "text"}
	case strings.Contains(upper, "AUTOINCREMENT") || base == "COUNTER":
		return fieldKind{"integer", cellText_, "integer"}
	case oneOf("BIGINT", "INT64"):
		return fieldKind{"numeric", cellText_, "integer"}
	case oneOf("SMALLINT", "TINYINT", "BYTE"):
		return fieldKind{"integer", cellText_, "integer"}
	case oneOf("BOOL", "BOOLEAN", "BIT", "YESNO", "LOGICAL"):
		return fieldKind{"boolean", cellText_, "boolean"}
	case oneOf("DECIMAL", "NUMERIC", "MONEY", "CURRENCY"):
		return fieldKind{"money", cellMoney, "float"}
	case oneOf("REAL", "FLOAT", "DOUBLE", "DOUBLE PRECISION"):
		return fieldKind{"numeric", cellText_, "float"}
	case oneOf("DATETIME", "TIMESTAMP"):
		return fieldKind{"datetime", cellText_, "datetime"}
	case base == "DATE":
		return fieldKind{"date", cellText_, "date"}
	case base == "TIME":
		return fieldKind{"time", cellText_, "time"}
	case oneOf("MEMO", "LONGTEXT", "NTEXT", "CLOB"):
		return fieldKind{"widememo", cellBlob, "text"}
	case oneOf("GUID", "UNIQUEIDENTIFIER"):
		return fieldKind{"string", cellText_, "text"}
	case base == "BINARY":
		return fieldKind{"bytes", cellBytes, "text"}
	case base == "VARBINARY":
		return fieldKind{"varbytes", cellBytes, "text"}
	case oneOf("BLOB", "IMAGE", "LONGBINARY", "OLEOBJECT"):
		return fieldKind{"blob", cellBlob, "text"}
	case strings.Contains(base, "INT") || strings.Contains(base, "LONG"):
		return fieldKind{"integer", cellText_, "integer"}
	}
	return fieldKind{"string", cellText_, "text"}
}

func cellText(kind fieldKind, v interface{}) string {
	switch kind.way {
	case cellBlob:
		return `<img src="/images/blob.png" />`
	case cellMoney:
		switch t := v.(type) {
		case nil:
			return moneyText(0)
		case int64:
			return moneyText(float64(t))
		case float64:
			return moneyText(t)
		case string:
			if f, err := strconv.ParseFloat(strings.TrimSpace(t), 64); err == nil {
				return moneyText(f)
			}
			return withoutLineBreaks(t)
		}
	case cellBytes:
		if v == nil {
			return ""
		}
		return fmt.Sprintf("%x", v)
	}
	switch t := v.(type) {
	case nil:
		return ""
	case int64:
		return strconv.FormatInt(t, 10)
	case float64:
		if kind.value == "integer" {
			return strconv.FormatInt(int64(math.Round(t)), 10)
		}
		return floatText(t)
	case bool:
		if t {
			return "True"
		}
		return "False"
	case time.Time:
		if kind.value == "date" || t.Hour() == 0 && t.Minute() == 0 && t.Second() == 0 && t.Nanosecond() == 0 {
			return t.Format("2006-01-02")
		}
		return t.Format("2006-01-02 15:04:05")
	case []byte:
		return withoutLineBreaks(string(t))
	case string:
		return withoutLineBreaks(t)
	}
	return fmt.Sprint(v)
}

// floatText: the value rounded to 15 significant digits, trailing zeros dropped, in plain
// decimals while the whole part has at most 15 digits and the value is at least 0.00001, else
// as a mantissa and an exponent ("1E20", "1.5E-7").
func floatText(value float64) string {
	switch {
	case math.IsNaN(value):
		return "NAN"
	case math.IsInf(value, 1):
		return "INF"
	case math.IsInf(value, -1):
		return "-INF"
	case value == 0:
		return "0"
	}
	sign := ""
	if value < 0 {
		sign, value = "-", -value
	}
	e := strconv.FormatFloat(value, 'e', 14, 64)
	at := strings.IndexByte(e, 'e')
	digits := strings.TrimRight(e[:1]+e[2:at], "0")
	exponent, _ := strconv.Atoi(e[at+1:])
	switch {
	case exponent >= 15 || exponent < -5:
		mantissa := digits[:1]
		if len(digits) > 1 {
			mantissa += "." + digits[1:]
		}
		return sign + mantissa + "E" + strconv.Itoa(exponent)
	case exponent < 0:
		return sign + "0." + strings.Repeat("0", -exponent-1) + digits
	case len(digits) <= exponent+1:
		return sign + digits + strings.Repeat("0", exponent+1-len(digits))
	}
	return sign + digits[:exponent+1] + "." + digits[exponent+1:]
}

func withoutLineBreaks(s string) string {
	if !strings.ContainsAny(s, "\r\n") {
		return s
	}
	return strings.NewReplacer("\r", "", "\n", "").Replace(s)
}

// moneyText: two decimals, the whole part grouped by thousands with commas, rounded half up
// on the 15 significant digits a double holds (1.005 reads as 1.01).
func moneyText(value float64) string {
	if math.IsNaN(value) {
		return "NAN"
	}
	if math.IsInf(value, 0) {
		if value > 0 {
			return "INF"
		}
		return "-INF"
	}
	e := strconv.FormatFloat(math.Abs(value), 'e', 14, 64) // d.dddddddddddddde±xx
	digits := e[:1] + e[2:16]
	exponent, _ := strconv.Atoi(e[17:])
	keep := exponent + 3
	var kept []byte
	switch {
	case keep <= 0:
		if keep == 0 && digits[0] >= '5' {
			kept = []byte("1")
		} else {
			kept = []byte("0")
		}
	case keep >= len(digits):
		kept = []byte(digits + strings.Repeat("0", keep-len(digits)))
	default:
		kept = []byte(digits[:keep])
		if digits[keep] >= '5' {
			i := len(kept) - 1
			for i >= 0 && kept[i] == '9' {
				kept[i] = '0'
				i--
			}
			if i < 0 {
				kept = append([]byte("1"), kept...)
			} else {
				kept[i]++
			}
		}
	}
	for len(kept) < 3 {
		kept = append([]byte("0"), kept...)
	}
	whole, cents := kept[:len(kept)-2], kept[len(kept)-2:]
	var b strings.Builder
	zero := strings.Trim(string(kept), "0") == ""
	if value < 0 && !zero {
		b.WriteByte('-')
	}
	for i := range whole {
		if i > 0 && (len(whole)-i)%3 == 0 {
			b.WriteByte(',')
		}
		b.WriteByte(whole[i])
	}
	b.WriteByte('.')
	b.Write(cents)
	return b.String()
}

// appendGridString writes a grid text: the quote, the backslash and control characters
// escaped (\u00xx), everything else as UTF-8, bad bytes replaced.
func appendGridString(out []byte, s string) []byte {
	if !utf8.ValidString(s) {
		s = strings.ToValidUTF8(s, "\uFFFD")
	}
	const hex = "0123456789abcdef"
	out = append(out, '"')
	start := 0
	for i := 0; i < len(s); i++ {
		c := s[i]
		if c >= 0x20 && c != '"' && c != '\\' {
			continue
		}
		out = append(out, s[start:i]...)
		if c < 0x20 {
			out = append(out, '\\', 'u', '0', '0', hex[c>>4], hex[c&0xF])
		} else {
			out = append(out, '\\', c)
		}
		start = i + 1
	}
	out = append(out, s[start:]...)
	return append(out, '"')
}
