// DuckDB's count of rows by message over a lake and over velk_decode --json
// output of the same traces; prints the two times in seconds, after
// checking that the counts agree.
//   node lake_count.mjs READERS_DIR LAKE_DIR JSONL
import path from 'node:path';
import { createRequire } from 'node:module';

const [readers, lake, jsonl] = process.argv.slice(2);
const require = createRequire(path.join(readers, 'node_modules', 'x.js'));
const { DuckDBInstance } = require('@duckdb/node-api');

async function timed(sql) {
  const c = await (await DuckDBInstance.create(':memory:')).connect();
  const t0 = process.hrtime.bigint();
  const rows = (await c.runAndReadAll(sql)).getRowObjectsJS();
  const s = Number(process.hrtime.bigint() - t0) / 1e9;
  return { s, counts: new Map(rows.map((r) => [r.message, Number(r.n)])) };
}

const lakeRun = await timed(`select message, count(*) as n from read_parquet('${lake}/signals/**/*.parquet',
  hive_partitioning = true, union_by_name = true) group by message`);
const jsonRun = await timed(`select message, count(*) as n from read_json('${jsonl}',
  format = 'newline_delimited', columns = {message: 'VARCHAR'}) where message is not null group by message`);
for (const [m, n] of jsonRun.counts)
  if (lakeRun.counts.get(m) !== n) {
    console.error(`${m}: ${lakeRun.counts.get(m)} rows in the lake, ${n} in the JSON`);
    process.exit(1);
  }
console.log(`${lakeRun.s} ${jsonRun.s}`);
