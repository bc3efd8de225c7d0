"""Rules for kiv's jobs: kiv_grab (a grab script and its pictures) and kiv_link (a link script,
its files and the archives it merges). Each action stages exactly its declared inputs in a
folder of its own, under their own names, and runs kiv there with -o (its log, standard output,
dropped; its diagnostics on standard error kept): a job that reads a file it did not declare
finds nothing and fails with kiv's own message naming the file."""

def _kiv_binary_impl(rctx):
    path = rctx.os.environ.get("KIV_BINARY", "")
    if not path:
        fail("set KIV_BINARY to the kiv binary that runs the jobs (--repo_env=KIV_BINARY=...)")
    rctx.symlink(path, "kiv")
    rctx.file("BUILD", 'exports_files(["kiv"])\n')

kiv_binary = repository_rule(
    implementation = _kiv_binary_impl,
    environ = ["KIV_BINARY"],
    local = True,
)

def _kiv_job(ctx, inputs):
    out = ctx.actions.declare_file(ctx.attr.out or ctx.label.name + ".kiv")
    kiv = ctx.executable._kiv
    # Inputs go into a folder of their own by name, as kiv reads them from where it runs.
    links = " && ".join(['ln -s "$here/%s" "$stage/%s"' % (f.path, f.basename) for f in inputs])
    ctx.actions.run_shell(
        inputs = inputs,
        tools = [kiv],
        outputs = [out],
        command = " && ".join([
            "here=$(pwd)",
            'stage="$here/%s.inputs"' % out.path,
            'rm -rf "$stage"',
            'mkdir "$stage"',
            "trap 'rm -rf \"$stage\"' EXIT",
            links,
            'cd "$stage"',
            '"$here/%s" -q %s -o "$here/%s" > /dev/null' % (kiv.path, ctx.file.script.basename, out.path),
        ]),
        mnemonic = "Kiv",
        progress_message = "kiv %s -> %s" % (ctx.file.script.basename, out.short_path),
    )
    return [DefaultInfo(files = depset([out]))]

def _kiv_grab_impl(ctx):
    return _kiv_job(ctx, [ctx.file.script] + ctx.files.srcs)

def _kiv_link_impl(ctx):
    return _kiv_job(ctx, [ctx.file.script] + ctx.files.srcs + ctx.files.deps)

_common = {
    "script": attr.label(allow_single_file = True, mandatory = True),
    "srcs": attr.label_list(allow_files = True, doc = "every picture or file the job reads"),
    "out": attr.string(doc = "the archive's name (default: NAME.kiv)"),
    "_kiv": attr.label(default = "@kiv_tool//:kiv", executable = True, cfg = "exec",
                       allow_single_file = True),
}

kiv_grab = rule(implementation = _kiv_grab_impl, attrs = _common)

kiv_link = rule(
    implementation = _kiv_link_impl,
    attrs = dict(_common, deps = attr.label_list(
        allow_files = [".kiv"],
        doc = "archives the link script merges (kiv_grab or kiv_link targets)",
    )),
)
