// A lake written by velk_decode --lake, read by two readers velk did not
// write, against velk_decode --json of the same traces and databases:
//   node lake_check.mjs READERS_DIR LAKE_DIR DEVICE JSON_FILE...
// READERS_DIR holds node_modules with @duckdb/node-api, hyparquet and
// hyparquet-compressors. Prints what differs and exits 1; 0 when all agree.
import fs from 'node:fs';
import path from 'node:path';
import { createRequire } from 'node:module';

const [readers, lake, device, ...jsonFiles] = process.argv.slice(2);
const require = createRequire(path.join(readers, 'node_modules', 'x.js'));
const { DuckDBInstance } = require('@duckdb/node-api');
const hyparquet = await import(require.resolve('hyparquet'));
const { compressors } = await import(require.resolve('hyparquet-compressors'));

let failures = 0;
function check(ok, what) {
  if (!ok) {
    failures++;
    console.log('DIFFERS: ' + what);
  }
}
const close = (a, b) => a === b || Math.abs(a - b) <= 1e-9 * Math.max(1, Math.abs(a), Math.abs(b));

// What the JSON lines say.
const frames = [];
const stats = new Map();  // message -> {rows, signals: Map(name -> {count, min, max, sum, texts})}
for (const f of jsonFiles)
  for (const line of fs.readFileSync(f, 'utf8').split('\n'))
    if (line) frames.push(JSON.parse(line));
for (const fr of frames) {
  if (fr.message === null || fr.remote) continue;
  let m = stats.get(fr.message);
  if (!m) stats.set(fr.message, m = { rows: 0, signals: new Map() });
  m.rows++;
  for (const [name, v] of Object.entries(fr.signals)) {
    let s = m.signals.get(name);
    if (!s) m.signals.set(name, s = { count: 0, min: Infinity, max: -Infinity, sum: 0, texts: 0 });
    if (v === null) continue;
    s.count++;
    s.min = Math.min(s.min, v);
    s.max = Math.max(s.max, v);
    s.sum += v;
    if (fr.text[name] !== undefined) s.texts++;
  }
}

const db = await DuckDBInstance.create(':memory:');
const c = await db.connect();
async function rows(sql) {
  return (await c.runAndReadAll(sql)).getRowObjectsJS();
}
const q = (s) => s.replace(/'/g, "''");
const framesGlob = `read_parquet('${q(lake)}/frames/**/*.parquet', hive_partitioning = true)`;

// Row counts and partitions.
const [{ n }] = await rows(`select count(*)::INTEGER as n from ${framesGlob}`);
check(n === frames.length, `frames: ${n} rows, the JSON has ${frames.length}`);
const dates = new Set(frames.map((fr) => new Date(Math.floor(fr.t * 1000)).toISOString().slice(0, 10)));
const parts = await rows(`select distinct device, strftime(date, '%Y-%m-%d') as date from ${framesGlob} order by 2`);
check(parts.every((p) => p.device === device), `devices ${JSON.stringify(parts)}, expected ${device}`);
check(JSON.stringify(parts.map((p) => p.date)) === JSON.stringify([...dates].sort()),
  `dates ${JSON.stringify(parts.map((p) => p.date))}, the JSON's ${JSON.stringify([...dates].sort())}`);

// Every signal's count, min, max and sum, and its texts.
for (const [message, m] of stats) {
  const glob = `read_parquet('${q(lake)}/signals/message=${q(message)}/**/*.parquet', hive_partitioning = true)`;
  const cols = (await rows(`describe select * from ${glob}`)).map((r) => r.column_name);
  const [{ rows: count, msg }] = await rows(`select count(*)::INTEGER as rows, min(message) as msg from ${glob}`);
  check(count === m.rows && msg === message, `${message}: ${count} rows (message column ${msg}), the JSON has ${m.rows}`);
  for (const [name, s] of m.signals) {
    if (!cols.includes(name)) {
      check(false, `${message}.${name}: no column`);
      continue;
    }
    const t = cols.includes(name + '_text') ? `count("${name}_text")::INTEGER` : '0';
    const [r] = await rows(`select count("${name}")::INTEGER as count, min("${name}") as min,
      max("${name}") as max, sum("${name}") as sum, ${t} as texts from ${glob}`);
    check(r.count === s.count, `${message}.${name}: count ${r.count}, the JSON's ${s.count}`);
    if (s.count > 0) {
      check(r.min === s.min && r.max === s.max, `${message}.${name}: min/max ${r.min}/${r.max}, the JSON's ${s.min}/${s.max}`);
      check(close(r.sum, s.sum), `${message}.${name}: sum ${r.sum}, the JSON's ${s.sum}`);
    }
    check(r.texts === s.texts, `${message}.${name}: ${r.texts} texts, the JSON's ${s.texts}`);
  }
}

// A sample of rows, field by field.
const step = Math.max(1, Math.floor(frames.length / 40));
for (let i = 0; i < frames.length; i += step) {
  const fr = frames[i];
  const us = BigInt(Math.round(fr.t * 1e6));
  const hit = await rows(`select channel, id, extended, fd, brs, hex(data) as data, direction from ${framesGlob}
    where epoch_us(time) = ${us} and channel = '${q(fr.bus)}' and id = ${fr.id}`);
  check(hit.length >= 1, `frame ${i}: not in the lake`);
  if (hit.length === 0) continue;
  const h = hit[0];
  check(h.extended === fr.ext && h.fd === fr.fd && h.brs === fr.brs && h.data === fr.data &&
    h.direction === (fr.tx ? 'tx' : 'rx'), `frame ${i}: ${JSON.stringify(h)} against ${JSON.stringify(fr)}`);
  if (fr.message === null || fr.remote) continue;
  const [row] = await rows(`select * from read_parquet('${q(lake)}/signals/message=${q(fr.message)}/**/*.parquet',
    hive_partitioning = true) where epoch_us(time) = ${us} and channel = '${q(fr.bus)}'`);
  for (const [name, v] of Object.entries(fr.signals))
    check(row !== undefined && row[name] === v, `frame ${i}: ${fr.message}.${name} ${row && row[name]}, the JSON's ${v}`);
  for (const [name, v] of Object.entries(fr.text))
    check(row !== undefined && row[name + '_text'] === v, `frame ${i}: ${fr.message}.${name}_text`);
}

// A filter on time skips row groups by their statistics: DuckDB's profile
// shows fewer bytes read than for the same rows chosen by an expression
// that statistics cannot answer.
// Each in a database of its own, whose cache holds nothing of the files yet.
async function bytesRead(where) {
  const file = path.join(lake, '..', 'profile.json');
  const own = await (await DuckDBInstance.create(':memory:')).connect();
  await own.run(`PRAGMA enable_profiling = 'json'`);
  await own.run(`PRAGMA profiling_output = '${q(file)}'`);
  await own.run(`select sum(octet_length(data)) from ${framesGlob} where ${where}`);
  await own.run(`PRAGMA disable_profiling`);
  return JSON.parse(fs.readFileSync(file, 'utf8')).total_bytes_read;
}
const t0 = Math.min(...frames.map((fr) => fr.t));
const early = new Date(Math.floor((t0 + 1) * 1000)).toISOString();
const skipped = await bytesRead(`time < TIMESTAMPTZ '${early}'`);
const full = await bytesRead(`epoch_us(time) + id * 0 < ${Math.round((t0 + 1) * 1e6)}`);
check(skipped < full, `a filter on time read ${skipped} bytes, the same rows by an expression ${full}`);

// hyparquet reads every file and column: the rows DuckDB reads, and the
// same sum of every number column.
function* walk(dir) {
  for (const e of fs.readdirSync(dir, { withFileTypes: true })) {
    const p = path.join(dir, e.name);
    if (e.isDirectory()) yield* walk(p);
    else yield p;
  }
}
let files = 0;
for (const file of walk(lake)) {
  check(file.endsWith('.parquet'), `${file}: not a Parquet file (a temporary file left?)`);
  if (!file.endsWith('.parquet')) continue;
  files++;
  const buf = fs.readFileSync(file);
  const ab = buf.buffer.slice(buf.byteOffset, buf.byteOffset + buf.byteLength);
  const meta = hyparquet.parquetMetadata(ab);
  const data = await hyparquet.parquetReadObjects({ file: ab, compressors });
  const names = meta.schema.slice(1).map((s) => s.name);
  check(data.length === Number(meta.num_rows), `${file}: hyparquet read ${data.length} of ${meta.num_rows} rows`);
  const numeric = meta.schema.slice(1).filter((s) => s.type === 'DOUBLE' || s.type === 'INT32').map((s) => s.name);
  const sums = numeric.map((col) => `sum("${col}")::DOUBLE as "${col}"`).join(', ');
  const [d] = await rows(`select count(*)::INTEGER as n${sums ? ', ' + sums : ''} from read_parquet('${q(file)}')`);
  check(d.n === data.length, `${file}: DuckDB ${d.n} rows, hyparquet ${data.length}`);
  for (const col of names)
    check(data.length === 0 || col in data[0], `${file}: hyparquet has no column ${col}`);
  for (const col of numeric) {
    let sum = 0, any = false;
    for (const r of data)
      if (r[col] !== null && r[col] !== undefined) {
        sum += Number(r[col]);
        any = true;
      }
    check(any ? close(sum, d[col]) : d[col] === null, `${file}: ${col} sums to ${sum} in hyparquet, ${d[col]} in DuckDB`);
  }
}
check(files > 0, 'no Parquet files');
console.log(`${frames.length} frames, ${stats.size} messages, ${files} files; time filter read ${skipped} of ${full} bytes`);
process.exit(failures > 0 ? 1 : 0);
