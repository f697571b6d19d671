<#
.SYNOPSIS
    An Intune requirement script: prints True where the repair applies, False
    everywhere else. Always exits 0.

.DESCRIPTION
    The repair applies where the agent is installed as the repair tool sees it:
    its key exists in the 32-bit view of the machine registry, the key's "Path"
    value names an existing folder, and the agent's Downloads folder exists
    below the machine-wide application-data folder. Use it as a requirement
    rule of output type Boolean, operator Equals, value Yes, so that machines
    without the agent are not counted as failed installs.

.NOTES
    Written for Windows PowerShell 5.1; uses nothing that PowerShell 7 or a
    plain Windows installation lacks. Gives the same answer in a 32-bit and a
    64-bit PowerShell.
#>
[CmdletBinding()]
param()

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$AgentKey = 'SOFTWARE\Morvane Security\Dovrix\Kelto Agent'
$Downloads = 'Morvane Security\Morvane Devices Agent\Downloads'
# The tool reads at most this many UTF-16 code units of "Path".
$PathChars = 2048

# "Path" as the tool reads it: the value's bytes taken as UTF-16 text up to
# the first NUL, whatever its type, and never expanded.
function Get-AgentPath {
    $machine = [Microsoft.Win32.RegistryKey]::OpenBaseKey([Microsoft.Win32.RegistryHive]::LocalMachine,
        [Microsoft.Win32.RegistryView]::Registry32)
    try {
        $key = $machine.OpenSubKey($AgentKey)
        if ($null -eq $key) {
            return $null
        }
        try {
            $value = $key.GetValue('Path', $null, [Microsoft.Win32.RegistryValueOptions]::DoNotExpandEnvironmentNames)
            if ($null -eq $value) {
                return $null
            }
            switch ($key.GetValueKind('Path')) {
                { $_ -eq 'String' -or $_ -eq 'ExpandString' } { $text = [string]$value }
                'MultiString' { $text = [string](@($value) + '')[0] }
                'Binary' {
                    # An odd last byte pairs with the zero that follows it in the tool's buffer.
                    $bytes = [byte[]]$value
                    if ($bytes.Length % 2) {
                        $bytes = [byte[]]($bytes + [byte]0)
                    }
                    $text = [System.Text.Encoding]::Unicode.GetString($bytes)
                }
                default { return $null }
            }
            $text = $text.Split([char]0)[0]
            if ($text.Length -ge $PathChars) {
                return $null
            }
            return $text
        } finally {
            $key.Dispose()
        }
    } finally {
        $machine.Dispose()
    }
}

$applies = $false
try {
    $agentPath = Get-AgentPath
    if ($agentPath -and (Test-Path -LiteralPath $agentPath -PathType Container)) {
        $appData = [Environment]::GetFolderPath('CommonApplicationData')
        $applies = [bool]$appData -and (Test-Path -LiteralPath (Join-Path $appData $Downloads) -PathType Container)
    }
} catch {
    $applies = $false
}
Write-Output $applies
exit 0
