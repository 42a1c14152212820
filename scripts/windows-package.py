"""Writes the Windows package: the installation of the Windows build (bin/
with the programs and the three DLLs, conf/ with the templates) and
README-Windows.txt, under one top directory, as a zip file.

    python3 scripts/windows-package.py BUILD_WIN_DIR OUTPUT.zip
"""
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

TOP = "torva-server-win64"
README = """Torva Server for Windows (x64)
==============================

Installation
------------
1. Unpack this archive to the installation directory, for example
   C:\\Torva Server. It holds bin\\ (the programs, tvusers.dll, tvkanji.dll and
   the message DLL tvevents.dll) and conf\\ (the templates torvad.conf.$ and
   openssl.conf.$).
2. In a command prompt run as Administrator, in that directory:

     bin\\tvinstall -r "C:\\Torva Server"

   This registers the service "torvad" (display name "Torva Server", started
   automatically), the event source "Torva Server", the installation "Path"
   and adds bin\\ to the system search path. Open a new command prompt so that
   the programs are found by name.
3. Create the directories and the configuration:

     tvsetusers -init
     tvsetcfg -init
     tvsetban -init
     tvgencfg

   Edit conf\\torvad.conf (bind-host, bind-port, the TLS keys). For FTPS put
   the server's certificate and key in the configuration directory as
   csr.pem and private.pem (openssl.conf.$ is a template for making them).
4. Add a user:

     tvmkuser -u alice -p secret -d "D:\\FTP\\alice" -w

5. Start the service:

     tvlaunch

   and stop it with tvhalt. The service host tvwatch writes the server's
   output to log\\server.log and log\\access.log and reports to the
   Application event log (source "Torva Server").

First FTPS log-in
-----------------
With auth-mechanism=TLS in torvad.conf, from any client, for example:

     curl --ssl-reqd -k -u alice:secret ftp://server/

(explicit TLS on the control port; -k accepts a self-signed certificate).

Removal
-------
     tvhalt
     tvinstall -u "C:\\Torva Server"

removes the service and the search-path entry; the settings and the event
source stay until removed with reg delete.
"""


# A Windows service cannot drop to another account once it runs: its account
# is chosen in the service's settings. The template's run-as line would stop
# every start ("Cannot run as torva. (50)"), so the package leaves it empty.
WINDOWS_RUN_AS = """# On Windows the service's account is chosen in the service's settings
# (services.msc, Log On); leave run-as empty.
run-as=
"""


def windows_template(conf_dir):
    path = os.path.join(conf_dir, "torvad.conf.$")
    with open(path, encoding="latin-1") as f:
        text = f.read()
    lines = text.splitlines(keepends=True)
    hits = [i for i, line in enumerate(lines) if line.startswith("run-as=")]
    if len(hits) != 1:
        sys.exit("windows-package: expected one run-as line in %s, found %d" % (path, len(hits)))
    lines[hits[0]] = WINDOWS_RUN_AS
    with open(path, "w", encoding="latin-1") as f:
        f.write("".join(lines))


def main():
    build, output = sys.argv[1], sys.argv[2]
    stage = tempfile.mkdtemp(prefix="torva-package-")
    try:
        root = os.path.join(stage, TOP)
        subprocess.run(["cmake", "--install", build, "--prefix", root], check=True,
                       stdout=subprocess.DEVNULL)
        shutil.rmtree(os.path.join(root, "lib"), ignore_errors=True)  # import libraries
        windows_template(os.path.join(root, "conf"))
        with open(os.path.join(root, "README-Windows.txt"), "w", newline="\r\n") as f:
            f.write(README)
        tmp = output + ".tmp"
        with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
            for dirpath, _, files in os.walk(root):
                for name in sorted(files):
                    path = os.path.join(dirpath, name)
                    z.write(path, os.path.relpath(path, stage))
        os.replace(tmp, output)
        print("windows-package: wrote", output)
    finally:
        shutil.rmtree(stage, ignore_errors=True)


if __name__ == "__main__":
    main()
