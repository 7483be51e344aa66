"""A real Tango control system in a scratch directory, for the sandbox
(counter-tango-sandbox), the tests and the benchmarks: MariaDB on a private
socket and port, the tango database made from the tango-db package's SQL,
Debian's database server (DataBaseds), and device servers registered in it.
It runs as whoever starts it (root or not); every process listens on
127.0.0.1, on a port picked here unless one is named, and every wait is
bounded.

    with ControlSystem() as cs:       # TANGO_HOST is set in os.environ
        cs.register("counter-tango-server", "lab", "CountingInstrument", "lab/counter/1", {"Host": ["127.0.0.1"]})
        cs.start_server(program, "lab")

`missing()` names what this machine lacks for it (a package), or None;
`missing(everything=True)` what the tests need besides (TangoTest's
neighbours, Taurus under Xvfb, root for a private network).
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

MARIADB_INSTALL = "/usr/bin/mariadb-install-db"
MARIADBD = "/usr/sbin/mariadbd"
MARIADB = "/usr/bin/mariadb"
SCHEMA = "/usr/share/dbconfig-common/data/tango-db/install/mysql"
DATABASEDS = "/usr/lib/tango/DataBaseds"
ACCESS_CONTROL = "/usr/lib/tango/TangoAccessControl"
STARTER = "/usr/lib/tango/Starter"


def missing(everything=False):
    """What this machine lacks for a control system (with `everything`, for the tests), or None."""
    if everything and os.geteuid() != 0:
        return "not root: the tests run their servers in a network of their own, and clients as other users"
    needed = [(MARIADB_INSTALL, "mariadb-server"), (MARIADBD, "mariadb-server"), (MARIADB, "mariadb-client"),
              (SCHEMA, "tango-db"), (DATABASEDS, "tango-db"), ("/usr/bin/tango_admin", "libtango-tools")]
    if everything:
        needed += [(ACCESS_CONTROL, "tango-accesscontrol"), (STARTER, "tango-starter"),
                   ("/usr/bin/xvfb-run", "xvfb xauth"), ("/usr/bin/xauth", "xauth"),
                   ("/usr/lib/python3/dist-packages/taurus", "python3-taurus")]
    for path, package in needed:
        if not os.path.exists(path):
            return f"{path} is missing (apt-get install {package})"
    try:
        import tango  # noqa: F401
    except ImportError:
        return "PyTango is missing (apt-get install python3-tango)"
    return None


def free_port():
    """A port nothing listens on now (the kernel's pick, let go)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, within, what):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{what} ended with {process.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError(f"{what} did not listen on {port} within {within} s")


class ControlSystem:
    def __init__(self, directory=None, tango_port=None, keep=False):
        self.dir = directory or tempfile.mkdtemp(prefix="tango-cs-")
        self.keep = keep
        self.tango_port = tango_port
        self.processes = []
        self.logs = {}

    def _start(self, name, argv, env=None):
        self.logs[name] = os.path.join(self.dir, name + ".log")
        with open(self.logs[name], "a") as log:
            p = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                 env=dict(os.environ, **(env or {})), start_new_session=True)
        self.processes.append(p)
        return p

    def log(self, name):
        with open(self.logs[name]) as f:
            return f.read()

    def __enter__(self):
        try:
            self._start_database()
            self._start_database_server()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _start_database(self):
        data = os.path.join(self.dir, "mariadb")
        self.mysql_socket = os.path.join(self.dir, "mariadb.sock")
        self.mysql_port = free_port()
        # As root, mariadbd is told to stay root; anyone else runs it as themselves.
        user = ["--user=root"] if os.geteuid() == 0 else []
        subprocess.run([MARIADB_INSTALL, "--no-defaults", *user, f"--datadir={data}",
                        "--auth-root-authentication-method=normal", "--skip-test-db"],
                       check=True, capture_output=True, timeout=120)
        self.mariadbd = self._start("mariadbd", [
            MARIADBD, "--no-defaults", *user, f"--datadir={data}", f"--socket={self.mysql_socket}",
            f"--port={self.mysql_port}", "--bind-address=127.0.0.1", "--skip-name-resolve",
            f"--pid-file={os.path.join(self.dir, 'mariadb.pid')}", "--innodb-buffer-pool-size=32M",
            "--skip-log-bin",
            # The access-control server inserts rows without their `updated`
            # column, which MariaDB's strict mode refuses.
            "--sql-mode=NO_ENGINE_SUBSTITUTION"])
        wait_for_port(self.mysql_port, self.mariadbd, 60, "mariadbd")
        # The tango-db package's SQL names its parts with `source`, which
        # only the client reads.
        self.sql("CREATE DATABASE tango; CREATE USER 'tango'@'127.0.0.1'; "
                 "GRANT ALL ON tango.* TO 'tango'@'127.0.0.1';")
        with open(SCHEMA) as schema:
            subprocess.run([MARIADB, "--no-defaults", f"--socket={self.mysql_socket}", "-uroot", "tango"],
                           stdin=schema, check=True, capture_output=True, timeout=120)

    def sql(self, statements, database=""):
        return subprocess.run([MARIADB, "--no-defaults", f"--socket={self.mysql_socket}", "-uroot", "-N", "-e",
                               statements] + ([database] if database else []),
                              check=True, capture_output=True, text=True, timeout=60).stdout

    def _start_database_server(self):
        self.tango_port = self.tango_port or free_port()
        # What DataBaseds, and TangoAccessControl, need to reach the database.
        self.database_environment = {"MYSQL_HOST": f"127.0.0.1:{self.mysql_port}", "MYSQL_USER": "tango",
                                     "MYSQL_PASSWORD": "", "MYSQL_DATABASE": "tango"}
        self.databaseds = self._start("DataBaseds", [DATABASEDS, "2", "-ORBendPoint",
                                                     f"giop:tcp:127.0.0.1:{self.tango_port}"],
                                      self.database_environment)
        wait_for_port(self.tango_port, self.databaseds, 60, "DataBaseds")
        os.environ["TANGO_HOST"] = f"127.0.0.1:{self.tango_port}"
        import tango
        deadline = time.monotonic() + 30
        while True:
            try:
                self.db = tango.Database()
                self.db.get_server_list("*")
                return
            except tango.DevFailed:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)

    def register(self, executable, instance, device_class, device, properties=None):
        import tango
        info = tango.DbDevInfo()
        info.name, info._class, info.server = device, device_class, f"{executable}/{instance}"
        self.db.add_device(info)
        if properties:
            self.db.put_device_property(device, properties)

    def start_server(self, name, argv, device, within=30, env=None):
        """Starts a device server and waits until `device` answers a ping."""
        import tango
        port = free_port()
        p = self._start(name, argv + ["-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"], env)
        deadline = time.monotonic() + within
        while True:
            if p.poll() is not None:
                raise RuntimeError(f"{name} ended with {p.returncode}:\n" + self.log(name))
            try:
                tango.DeviceProxy(device).ping()
                return p
            except tango.DevFailed:
                if time.monotonic() > deadline:
                    p.kill()
                    raise RuntimeError(f"{device} did not answer within {within} s:\n" + self.log(name))
                time.sleep(0.2)

    def __exit__(self, *exc):
        for p in reversed(self.processes):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for p in reversed(self.processes):
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        if not self.keep and not os.environ.get("KEEP_TANGO_SCRATCH"):
            shutil.rmtree(self.dir, ignore_errors=True)
