#!/usr/bin/python3
# Makes, with LibreOffice itself, a text document (ODT) that says
# "Original words." and holds a Basic macro bound to its load event that
# replaces its text with "MACRO RAN": the document LibreOffice would run the
# macro of, were macros allowed.
#
# Usage: make_macro_document.py OUTPUT.odt PROFILE_FOLDER
import subprocess
import sys
import time

sys.path.append("/usr/lib/libreoffice/program")
import uno  # noqa: E402
from com.sun.star.beans import PropertyValue  # noqa: E402
from com.sun.star.connection import NoConnectException  # noqa: E402


def Property(name, value):
    p = PropertyValue()
    p.Name = name
    p.Value = value
    return p


def main():
    output, profile = sys.argv[1], sys.argv[2]
    pipe = "make_macro_document_%d" % time.monotonic_ns()
    office = subprocess.Popen(["/usr/lib/libreoffice/program/soffice", "--headless", "--norestore", "--nologo",
                               "-env:UserInstallation=" + uno.systemPathToFileUrl(profile),
                               "--accept=pipe,name=%s;urp;" % pipe],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
        for _ in range(1200):
            try:
                context = resolver.resolve("uno:pipe,name=%s;urp;StarOffice.ComponentContext" % pipe)
                break
            except NoConnectException:
                time.sleep(0.1)
        else:
            return 1
        desktop = context.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", context)
        document = desktop.loadComponentFromURL("private:factory/swriter", "_blank", 0, (Property("Hidden", True),))
        document.getText().setString("Original words.")
        libraries = document.BasicLibraries
        library = (libraries.getByName("Standard") if libraries.hasByName("Standard")
                   else libraries.createLibrary("Standard"))
        library.insertByName("Module1", 'Sub Main\n  ThisComponent.getText().setString("MACRO RAN")\nEnd Sub\n')
        binding = uno.Any("[]com.sun.star.beans.PropertyValue", (
            Property("EventType", "Script"),
            Property("Script", "vnd.sun.star.script:Standard.Module1.Main?language=Basic&location=document")))
        uno.invoke(document.Events, "replaceByName", ("OnLoad", binding))
        document.storeToURL(uno.systemPathToFileUrl(output), (Property("FilterName", "writer8"),))
        document.close(True)
        try:
            desktop.terminate()
        except Exception:  # noqa: BLE001 - the bridge goes as LibreOffice ends
            pass
        office.wait(timeout=60)
        return 0
    finally:
        if office.poll() is None:
            office.kill()
            office.wait()


if __name__ == "__main__":
    sys.exit(main())
