// The Node.js peer of bench/compare: the same session cookie, the same Add envelope and the
// same "/rest/sqlselect" JSON as the application, from one process on loopback.
//
//   node compare_peer.js <port> <database-file>     (better-sqlite3 on NODE_PATH)
'use strict';
const http = require('http');
const crypto = require('crypto');
const querystring = require('querystring');
const Database = require('better-sqlite3');

const port = Number(process.argv[2]);
const db = new Database(process.argv[3], { readonly: true });
const sessions = new Map();  // cookie value -> session data
const statements = new Map();  // SQL text -> prepared statement, reused across requests

function statement(sql) {
  let s = statements.get(sql);
  if (!s) {
    s = db.prepare(sql);
    statements.set(sql, s);
  }
  return s;
}

function session(req, res) {
  const match = /(?:^|;\s*)SV_Peer=([^;]+)/.exec(req.headers.cookie || '');
  if (match && sessions.has(match[1])) return sessions.get(match[1]);
  const id = crypto.randomBytes(16).toString('base64url');
  const data = { id };
  sessions.set(id, data);
  res.setHeader('Set-Cookie', `SV_Peer=${id}; Path=/`);
  return data;
}

function kindOf(declared) {
  const t = (declared || '').toUpperCase();
  if (t.includes('INT')) return 'integer';
  if (t.includes('CHAR') || t.includes('TEXT')) return 'string';
  if (t.includes('MONEY')) return 'money';
  if (t.includes('DATE')) return 'datetime';
  return 'string';
}

function money(value) {
  const [whole, cents] = Math.abs(value).toFixed(2).split('.');
  const grouped = whole.replace(/\B(?=(\d{3})+(?!\d))/g, ',');
  return (value < 0 ? '-' : '') + grouped + '.' + cents;
}

function sqlSelect(query) {
  const page = parseInt(query.page || '1', 10);
  const rp = parseInt(query.rp || '20', 10);
  const table = query.tblNames;
  const fields = query.fldNames || '*';
  const select = `SELECT ${fields} FROM ${table}`;
  const total = statement(`SELECT COUNT(*) AS TotalCount FROM ${table}`).get().TotalCount;
  const rowCount = statement(`SELECT COUNT(*) AS n FROM (${select})`).get().n;
  const pageStatement = statement(`${select} ORDER BY ${query.orderBy || 1} LIMIT ? OFFSET ?`);
  const columns = pageStatement.columns();
  const kinds = columns.map((c) => kindOf(c.type));
  const rows = pageStatement.raw().all(rp, (page - 1) * rp).map((row) =>
    row.map((v, i) => (v === null ? '' : kinds[i] === 'money' ? money(v) : String(v))));
  const names = columns.map((c) => c.name);
  return JSON.stringify({
    fldCount: names.length, fldNames: names, fldLabels: names, fldClasses: kinds,
    rowCount, rows, title: table, total, page,
  });
}

function reply(res, type, body) {
  res.setHeader('Content-Type', type);
  res.setHeader('Cache-Control', 'no-cache');
  res.end(body);
}

http.createServer((req, res) => {
  const url = new URL(req.url, 'http://localhost');
  if (url.pathname === '/rest/sqlselect') {
    session(req, res);
    reply(res, 'text/json; charset=utf-8', sqlSelect(Object.fromEntries(url.searchParams)));
    return;
  }
  if (url.pathname === '/appservice/') {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      session(req, res);
      const form = querystring.parse(Buffer.concat(chunks).toString());
      const params = JSON.parse(form.Params || '{}');
      const result = {};
      if (form.Function === 'Add') {
        result.Result = params.A + params.B;
        result.Info = params.Info;
      }
      reply(res, 'text/html; charset=UTF-8',
            `Function=${form.Function}\r\nParams=${form.Params}\r\nResult=${JSON.stringify(result)}`);
    });
    return;
  }
  res.statusCode = 404;
  res.end();
}).listen(port, '127.0.0.1', () => console.log(`port ${port}`));
