# morva: the program keeps its settings file beside itself, in its own folder /opt/morva/bin.
# Appended, so that it shadows no other program.
case ":${PATH}:" in
*:/opt/morva/bin:*) ;;
*) PATH="${PATH:+${PATH}:}/opt/morva/bin"; export PATH ;;
esac
