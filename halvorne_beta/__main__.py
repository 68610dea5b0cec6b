import sys

from halvorne_beta.demo import main

sys.exit(main())
