"""Runs code examples of the documentation in order, in the folder argv[1]:
argv[2] is a JSON list of [kind, where, code], kind "python" (run as a
script's code, all in one namespace, so that a later example may use what an
earlier one made) or "ipython" (a cell of one IPython terminal shell, which
shares that namespace). `where` is "page.md:LINE"; a failing example is named
on standard error and ends the run with status 1."""

import json
import os
import sys
import traceback


def main():
    os.chdir(sys.argv[1])
    namespace = {"__name__": "__main__"}
    shell = None
    for kind, where, code in json.loads(sys.argv[2]):
        page, line = where.rsplit(":", 1)
        try:
            if kind == "python":
                # Padded so that a traceback's line numbers are the page's.
                exec(compile("\n" * int(line) + code, page, "exec"), namespace)
                continue
            if shell is None:
                from IPython.terminal.interactiveshell import TerminalInteractiveShell

                shell = TerminalInteractiveShell.instance(simple_prompt=True,
                                                          user_ns=namespace)
            result = shell.run_cell(code, store_history=True)
            if not result.success:
                raise result.error_before_exec or result.error_in_exec
        except BaseException:
            traceback.print_exc()
            print(f"the example at {where} failed", file=sys.stderr)
            sys.exit(1)


main()
