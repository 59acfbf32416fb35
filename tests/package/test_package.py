"""The Debian package on this machine: build it with CPack, install it with dpkg, check what it
installed, run the installed daemon the way its unit runs it and get a search answered, then
remove and purge it and check that nothing is left.

The package is installed for the length of this module only and purged on every way out, so no
other test ever runs beside an installed package; a lock keeps two runs on one machine apart."""

import configparser
import fcntl
import glob
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "integration"))

from testbed import DAEMON_IP, UUID, Testbed, expected_response  # noqa: E402

PACKAGE = "redfish-discovery"
USER = PACKAGE
HOME = "/opt/oobm"
UNIT = f"/lib/systemd/system/{PACKAGE}.service"
DEFAULTS = f"/etc/default/{PACKAGE}"
MAN_PAGES = ["/usr/share/man/man8/discovery.8.gz", "/usr/share/man/man1/ssdp-search.1.gz"]
ENABLED_LINK = f"/etc/systemd/system/multi-user.target.wants/{PACKAGE}.service"
BUILD_DIR = os.environ.get("DISCOVERY_BUILD_DIR", "build")
CPACK = os.environ.get("CPACK_COMMAND", "cpack")
LOCK = "/run/lock/redfish-discovery-package-test.lock"
WATCHED = ["/opt", "/lib/systemd/system", "/etc/systemd/system", "/etc/default",
           "/usr/share/doc", "/usr/share/man", "/usr/share/lintian/overrides"]

STARTED = "Starting the Storage Server discovery process."
STOPPED = "Stopping the Storage Server discovery process."


def run(*args, check=True):
    return subprocess.run(args, check=check, capture_output=True, text=True, timeout=120)


def dpkg(*args):
    """dpkg, waiting while another package manager on this machine holds its lock."""
    deadline = time.monotonic() + 120
    while True:
        res = run("dpkg", *args, check=False)
        if res.returncode == 0 or "lock" not in res.stderr or time.monotonic() > deadline:
            assert res.returncode == 0, res.stderr
            return res
        time.sleep(1)


def is_installed():
    """False when dpkg has no trace of the package, or only the record of a purge."""
    res = run("dpkg-query", "-W", "-f=${db:Status-Status}", PACKAGE, check=False)
    return res.returncode == 0 and res.stdout not in ("", "not-installed")


def status():
    return run("dpkg-query", "-W", "-f=${db:Status-Status}", PACKAGE).stdout


def tree(paths):
    found = {top for top in paths if os.path.exists(top)}
    for top in paths:
        for root, dirs, files in os.walk(top):
            found.update(os.path.join(root, n) for n in dirs + files)
    return found


def unit_service_section(path):
    parser = configparser.ConfigParser(strict=False, interpolation=None)
    parser.optionxform = str
    parser.read(path)
    return parser["Service"]


@pytest.fixture(scope="module")
def package():
    """Builds the package and installs it; purges it however the module ends."""
    with open(LOCK, "w") as lock:
        deadline = time.monotonic() + 300
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    pytest.fail(f"another package test holds {LOCK}")
                time.sleep(1)
        # An installation this test did not make is never touched.
        if is_installed() or os.path.exists(HOME):
            pytest.fail(f"{PACKAGE} or {HOME} already present on this machine; "
                        f"remove it (dpkg -P {PACKAGE}) to run this test")
        out = tempfile.mkdtemp(prefix="discovery-deb-")
        before = tree(WATCHED)
        try:
            run(CPACK, "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", out)
            debs = glob.glob(os.path.join(out, f"{PACKAGE}_*.deb"))
            assert len(debs) == 1, os.listdir(out)
            dpkg("-i", debs[0])
            yield {"deb": debs[0], "before": before}
        finally:
            dpkg("--purge", PACKAGE)
            shutil.rmtree(out, ignore_errors=True)


def test_package_depends_on_its_libraries_and_installs_the_tree(package):
    fields = run("dpkg-deb", "-f", package["deb"], "Depends").stdout
    for library in ("libc6", "libstdc++6", "libjsoncpp25"):
        assert library in fields, fields
    # The daemon speaks systemd's notification protocol itself: libsystemd would bring its
    # compression and crypto libraries into the process.
    assert "libsystemd" not in fields, fields
    assert status() == "installed"

    files = set(run("dpkg-query", "-L", PACKAGE).stdout.split())
    assert {f"{HOME}/bin/discovery", f"{HOME}/bin/ssdp-search", f"{HOME}/config/log.conf",
            f"{HOME}/log", "/usr/bin/ssdp-search", UNIT, DEFAULTS, *MAN_PAGES} <= files
    assert not any(f.startswith("/opt/data") for f in files)
    conffiles = run("dpkg-query", "-W", "-f=${Conffiles}", PACKAGE).stdout.split()
    assert conffiles[0::2] == [f"{HOME}/config/log.conf", DEFAULTS]

    # The daemon's own system user, which may log in nowhere and owns the log directory alone;
    # its files it reads are other users' and readable by all.
    user = pwd.getpwnam(USER)
    assert user.pw_uid < 1000 and user.pw_shell == "/usr/sbin/nologin", user
    log_dir = os.stat(f"{HOME}/log")
    assert (log_dir.st_uid, log_dir.st_gid, log_dir.st_mode & 0o7777) == (
        user.pw_uid, user.pw_gid, 0o750)
    for path in (f"{HOME}/bin/discovery", f"{HOME}/config/log.conf", UNIT):
        assert os.stat(path).st_uid == 0, path
    assert os.stat(f"{HOME}/config/log.conf").st_mode & 0o004


def test_lintian_is_clean_and_manual_pages_render(package):
    # Overrides cover only what the /opt tree makes inherent; one that no longer matches anything
    # is reported too, so it cannot outlive its reason.
    res = run("lintian", "--fail-on", "error,warning", package["deb"], check=False)
    findings = [line for line in res.stdout.splitlines()
                if line[:2] in ("E:", "W:") or "unused-override" in line]
    assert res.returncode == 0 and not findings, res.stdout + res.stderr
    for page in MAN_PAGES:
        res = run("man", "--warnings", "-E", "UTF-8", "-l", page, check=False)
        assert res.returncode == 0 and res.stderr == "", page + res.stderr
        assert "SYNOPSIS" in res.stdout and "EXIT STATUS" in res.stdout, res.stdout


OPTION = re.compile(r"(?<![\w-])--?[A-Za-z0-9][\w-]*")


@pytest.mark.parametrize("program,page", [("discovery", MAN_PAGES[0]),
                                          ("ssdp-search", MAN_PAGES[1])])
def test_documents_name_every_option_of_the_usage(package, program, page):
    # The usage comes from the code, the manual page and the daemon's options file are written
    # by hand: an option added to one and not the others is caught here.
    usage = run(f"{HOME}/bin/{program}", "--help", check=False)
    options = set(OPTION.findall(usage.stdout + usage.stderr))
    assert len(options) > 2, usage
    documents = {page: run("man", "-l", page).stdout.replace("\u2010", "-")}
    if program == "discovery":
        with open(DEFAULTS) as f:
            documents[DEFAULTS] = f.read()
    for path, text in documents.items():
        missing = options - set(OPTION.findall(text))
        assert not missing, f"{path} lacks {sorted(missing)}"


def test_unit_verifies_and_points_into_the_installed_tree(package):
    res = run("systemd-analyze", "verify", UNIT, check=False)
    assert res.returncode == 0, res.stderr
    assert PACKAGE not in res.stderr, res.stderr

    service = unit_service_section(UNIT)
    workdir = service["WorkingDirectory"]
    assert service["User"] == service["Group"] == USER
    assert service["ExecStart"] == os.path.join(workdir, "discovery") + " $DISCOVERY_OPTS"
    assert os.access(service["ExecStart"].split()[0], os.X_OK)
    assert service["EnvironmentFile"] == "-" + DEFAULTS
    # The configuration is the daemon's relative one from that directory, and the log file it
    # names lies in the one directory the unit lets the daemon write.
    config = os.path.normpath(os.path.join(workdir, "../config/log.conf"))
    assert config == f"{HOME}/config/log.conf"
    with open(config) as f:
        names = {line.split("=", 1)[1].strip().strip('"') for line in f
                 if line.strip().startswith("FILENAME")}
    assert len(names) == 1
    log_file = os.path.normpath(os.path.join(workdir, names.pop()))
    assert os.path.dirname(log_file) == service["ReadWritePaths"]
    assert os.path.isdir(service["ReadWritePaths"])


def unit_command(service, info_dir):
    """The unit's ExecStart as its sandbox would run it, as far as plain namespaces can: the
    daemon's tree read-only but for ReadWritePaths, the service-information file at
    ../../data/redfish.json, the unit's user and umask, no new privileges and only the unit's
    capabilities."""
    home = os.path.dirname(service["WorkingDirectory"])
    rw = service["ReadWritePaths"]
    caps = service["CapabilityBoundingSet"].split()
    bounding = ",".join(["-all"] + ["+" + c.lower().removeprefix("cap_") for c in caps])
    keep = os.path.join(info_dir, "keep")
    os.makedirs(keep)
    setup = " && ".join([
        # The installed options file sets DISCOVERY_OPTS, which ExecStart passes split at blanks.
        f". {service['EnvironmentFile'].lstrip('-')}",
        f"mount --bind {rw} {rw}",
        f"mount --rbind {home} {keep}",
        # The rest of /opt is masked: the daemon sees only its tree and the information file.
        "mount -t tmpfs none /opt",
        f"mkdir -p {home} /opt/data",
        f"cp {info_dir}/redfish.json /opt/data/redfish.json",
        f"mount --rbind {keep} {home}",
        f"mount -o remount,bind,ro {home}",
        "mount -o remount,bind,ro /opt",
    ])
    umask, command = service["UMask"], service["ExecStart"]
    daemon = (f"setpriv --reuid {service['User']} --regid {service['Group']} --clear-groups "
              f"--no-new-privs --inh-caps -all --bounding-set {bounding} "
              f'sh -c "umask {umask} && exec {command}"')
    return setup, daemon


def test_installed_daemon_answers_a_search_as_the_unit_runs_it(package):
    service = unit_service_section(UNIT)
    with Testbed(log_conf=None, uuid=None) as bed:
        info_dir = os.path.join(bed.root, "info")
        os.makedirs(info_dir)
        with open(os.path.join(info_dir, "redfish.json"), "w") as f:
            f.write(f'{{"uuid": "{UUID}"}}')
        setup, daemon = unit_command(service, info_dir)
        bed.out = open(bed.out_path, "w")
        bed.proc = subprocess.Popen(
            ["unshare", "-m", "sh", "-c",
             f"{setup} && cd {service['WorkingDirectory']} && "
             f"exec ip netns exec {bed.dns} {daemon}"],
            stdout=bed.out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        # The sample configuration has no TRACE records to wait for: the group membership
        # shows that the socket is bound and joined.
        deadline = time.monotonic() + 10
        while "239.255.255.250" not in bed.in_daemon_ns("ip", "maddr", "show", "dev", "eth1"):
            assert bed.proc.poll() is None, bed.output()
            assert time.monotonic() < deadline, bed.output()
            time.sleep(0.05)

        # By its bare name: the package puts it on PATH.
        res = run("ip", "netns", "exec", bed.cns, "ssdp-search",
                  "--interface", "cp0", "--mx", "1", "--json")
        responses = [json.loads(line) for line in res.stdout.splitlines()]
        assert [(r["from"], r["payload"]) for r in responses] == [
            (DAEMON_IP, expected_response())], res.stdout + res.stderr

        code, _ = bed.stop(signal.SIGTERM)
        assert code == 0, bed.output()
    with open(f"{HOME}/log/discovery.log") as f:
        log = f.read()
    assert STARTED in log and STOPPED in log
    assert " WARNING " not in log and " ERROR " not in log, log
    # Written by the unit's user, for that user's eyes only.
    written = os.stat(f"{HOME}/log/discovery.log")
    assert (written.st_uid, written.st_mode & 0o777) == (pwd.getpwnam(USER).pw_uid, 0o600)


def test_remove_keeps_the_configuration_and_purge_leaves_nothing(package):
    # An operator's enablement and the daemon's log: made after installation, gone at purge.
    run("systemctl", "enable", f"{PACKAGE}.service")
    assert os.path.islink(ENABLED_LINK)
    with open(f"{HOME}/log/discovery.log", "a") as f:
        f.write("a record\n")

    dpkg("--remove", PACKAGE)
    assert status() == "config-files"
    assert os.path.isfile(f"{HOME}/config/log.conf")
    assert not os.path.exists(f"{HOME}/bin") and not os.path.exists(UNIT)

    dpkg("--purge", PACKAGE)
    assert not is_installed()
    assert tree(WATCHED) == package["before"]
    # Debian keeps a purged package's system user, so that no later user inherits its files.
    pwd.getpwnam(USER)
