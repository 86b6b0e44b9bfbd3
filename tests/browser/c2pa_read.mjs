// The C2PA project's own reader (c2pa-rs compiled to WebAssembly), run in Node
// on files: one JSON line per file with the active manifest, its actions, the
// signer and the validation codes by kind.
//
//   node c2pa_read.mjs [--trust PEMFILE]... FILE...
//
// --trust adds the certificates of PEMFILE as trust anchors of the reader.
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';

const require = createRequire(import.meta.url);
const pkg = dirname(require.resolve('@contentauth/c2pa-wasm/package.json'));
const { initSync, WasmReader } = await import(join(pkg, 'pkg', 'c2pa.js'));
initSync({ module: readFileSync(join(pkg, 'pkg', 'c2pa_bg.wasm')) });

const args = process.argv.slice(2);
let anchors = '';
const files = [];
for (let i = 0; i < args.length; ++i) {
  if (args[i] === '--trust') anchors += readFileSync(args[++i], 'utf8');
  else files.push(args[i]);
}
const settings = anchors ? JSON.stringify({ trust: { trust_anchors: anchors } }) : null;

const codes = (list) => (list || []).map((s) => s.code);
for (const file of files) {
  const out = { file };
  try {
    const reader = await WasmReader.fromBytes('image/png', readFileSync(file), settings);
    const store = JSON.parse(reader.json());
    const active = store.manifests?.[store.active_manifest];
    const results = store.validation_results?.activeManifest || {};
    Object.assign(out, {
      activeManifest: store.active_manifest || null,
      state: store.validation_state,
      failure: codes(results.failure),
      informational: codes(results.informational),
      success: codes(results.success),
      title: active?.title,
      claimGenerator: active?.claim_generator_info,
      signer: active?.signature_info,
      actions: (active?.assertions || [])
        .filter((a) => a.label.startsWith('c2pa.actions'))
        .flatMap((a) => a.data.actions),
    });
  } catch (e) {
    out.error = String(e);
  }
  console.log(JSON.stringify(out));
}
