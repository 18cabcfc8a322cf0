import sys

from orbisk_cli.main import main

sys.exit(main())
